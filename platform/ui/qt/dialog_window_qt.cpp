// A Qt dialog as platform::Window: synchronous sends from other threads,
// message boxes, and the controls by identifier.
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

#include "platform/ui/qt/dialog_widgets_qt.h"

namespace plk::platform {

// --- messages -------------------------------------------------------------

LResult QtDialogWindow::Dispatch(uint32_t message, WParam wParam, LParam lParam) {
    if (target_ != nullptr) {
        return target_->WindowProc(message, wParam, lParam);
    }
    return DefaultProc(message, wParam, lParam);
}

bool QtDialogWindow::Send(uint32_t message, WParam wParam, LParam lParam, LResult* result) {
    LResult value = 0;
    const bool sent = SendWork([&] { value = Dispatch(message, wParam, lParam); });
    if (result != nullptr) {
        *result = value;
    }
    return sent;
}

void QtDialogWindow::WaitServingSends(const Event& done) {
    if (!OnUiThread()) {
        const Waitable objects[] = {done.waitable()};
        WaitAny(objects);
        return;
    }
    // Only sent messages are served here, never input or timers: the caller is
    // in the middle of a handler and must not be re-entered by anything else.
    sent_.ServeUntil(done);
}

void QtDialogWindow::Destroy() {
    sent_.Close();
    sentNotifier_.reset();
    controls_.clear();
    menu_ = nullptr;
    widget_.reset();
}

// --- message boxes ---------------------------------------------------------

void QtDialogWindow::MessageBox(const std::string& text, const std::string& caption,
                                unsigned type) {
    if (OnUiThread()) {
        ShowBox(text, caption, type);
        return;
    }
    if (!SendWork([&] { ShowBox(text, caption, type); })) {
        // No window to show it over any more, and the user-interface thread
        // may be waiting for this very thread: report it where it can be seen.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
}

void QtDialogWindow::ShowBox(const std::string& text, const std::string& caption, unsigned type) {
    if (host_.cancelling()) {
        return;
    }
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (type & kMbIconMask) {
        case kMbIconError:
            icon = QMessageBox::Critical;
            break;
        case kMbIconQuestion:
            icon = QMessageBox::Question;
            break;
        case kMbIconWarning:
            icon = QMessageBox::Warning;
            break;
        case kMbIconInformation:
            icon = QMessageBox::Information;
            break;
        default:
            break;
    }
    QWidget* parent =
        widget_ && widget_->isVisible() && widget_->isEnabled() ? widget_.get() : nullptr;
    QMessageBox box(icon, Utf8(caption), Utf8(text), QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("message-box"));
    host_.PushBox(&box);
    box.exec();
    host_.PopBox(&box);
}

// --- controls --------------------------------------------------------------

void QtDialogWindow::SetItemText(int id, const std::string& text) {
    // A worker that sets a status text again and again (the bridge after every
    // answered poll) would otherwise wake the user-interface thread each time
    // for a text already shown.
    if (!OnUiThread()) {
        std::lock_guard lock(shownTextsLock_);
        if (const auto it = shownTexts_.find(id); it != shownTexts_.end() && it->second == text) {
            return;
        }
    }
    SendWork([&] {
        QWidget* control = Control(id);
        if (auto* label = dynamic_cast<StaticWidget*>(control)) {
            label->SetText(Utf8(text));
            std::lock_guard lock(shownTextsLock_);
            shownTexts_[id] = text;
        } else if (auto* button = qobject_cast<QPushButton*>(control)) {
            button->setText(Utf8(text));
        } else if (auto* combo = qobject_cast<QComboBox*>(control); combo && combo->isEditable()) {
            combo->setEditText(Utf8(text));
        }
    });
}

std::string QtDialogWindow::ItemText(int id) {
    std::string text;
    SendWork([&] {
        QWidget* control = Control(id);
        QString value;
        if (auto* label = qobject_cast<QLabel*>(control)) {
            value = label->text();
        } else if (auto* button = qobject_cast<QPushButton*>(control)) {
            value = button->text();
        } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
            value = combo->currentText();
        }
        text = value.toStdString();
    });
    return text;
}

namespace {
// The closed box shows the tip of its chosen entry; the dropped-down list
// shows each entry's own.
void ShowChosenTip(QComboBox* combo) {
    const int chosen = combo->currentIndex();
    combo->setToolTip(chosen >= 0 ? combo->itemData(chosen, Qt::ToolTipRole).toString()
                                  : QString());
}
}  // namespace

void QtDialogWindow::ComboReset(int id) {
    SendWork([&] {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id))) {
            combo->clear();
            combo->setCurrentIndex(-1);
            if (combo->isEditable()) {
                combo->clearEditText();
            }
            ShowChosenTip(combo);
        }
    });
}

void QtDialogWindow::ComboInsert(int id, int position, const std::string& text) {
    SendWork([&] {
        auto* combo = qobject_cast<QComboBox*>(Control(id));
        if (combo == nullptr) {
            return;
        }
        // Inserting never changes the selection or the edit field; Qt would
        // select the first item put into an empty list.
        const bool hadSelection = combo->currentIndex() >= 0;
        const QString edit = combo->currentText();
        const int at = position < 0 || position > combo->count() ? combo->count() : position;
        const QSignalBlocker quiet(combo);
        combo->insertItem(at, Utf8(text));
        if (!hadSelection) {
            combo->setCurrentIndex(-1);
            if (combo->isEditable()) {
                combo->setEditText(edit);
            }
        }
        ShowChosenTip(combo);
    });
}

void QtDialogWindow::ComboSetCurSel(int id, int position) {
    SendWork([&] {
        auto* combo = qobject_cast<QComboBox*>(Control(id));
        if (combo == nullptr) {
            return;
        }
        const QSignalBlocker quiet(combo);
        if (position >= 0 && position < combo->count()) {
            combo->setCurrentIndex(position);
            // A narrow field shows the start of the entry, its port name, not
            // the tail.
            if (QLineEdit* edit = combo->lineEdit()) {
                edit->setCursorPosition(0);
            }
        } else {
            combo->setCurrentIndex(-1);
            if (combo->isEditable()) {
                combo->clearEditText();
            }
        }
        ShowChosenTip(combo);
    });
}

int QtDialogWindow::ComboGetCurSel(int id) {
    int selection = -1;
    SendWork([&] {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id))) {
            selection = combo->currentIndex();
        }
    });
    return selection;
}

std::string QtDialogWindow::ComboText(int id, int position) {
    std::string text;
    SendWork([&] {
        auto* combo = qobject_cast<QComboBox*>(Control(id));
        if (combo != nullptr && position >= 0 && position < combo->count()) {
            text = combo->itemText(position).toStdString();
        }
    });
    return text;
}

int QtDialogWindow::ComboCount(int id) {
    int count = 0;
    SendWork([&] {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id))) {
            count = combo->count();
        }
    });
    return count;
}

void QtDialogWindow::ComboSetItemTip(int id, int position, const std::string& tip) {
    SendWork([&] {
        auto* combo = qobject_cast<QComboBox*>(Control(id));
        if (combo != nullptr && position >= 0 && position < combo->count()) {
            combo->setItemData(position, Utf8(tip), Qt::ToolTipRole);
            ShowChosenTip(combo);
        }
    });
}

}  // namespace plk::platform

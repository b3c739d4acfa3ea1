// A Qt dialog's frame: default processing, icons, the window menu, painting,
// the dialog keyboard, and the modal run.
#include <QGuiApplication>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include "platform/ui/dialog_init.h"
#include "platform/ui/qt/dialog_widgets_qt.h"

namespace plk::platform {

// --- the dialog frame ------------------------------------------------------

LResult QtDialogWindow::DefaultProc(uint32_t message, WParam wParam, LParam /*lParam*/) {
    switch (message) {
        case kWmInitDialog:
            RunDialogInitData(*this, template_.initData);
            return 1;
        case kWmSysCommand:
            switch (wParam & kSysCommandMask) {
                case kScClose:
                    // A dialog closes as Cancel does.
                    EndDialog(kIdCancel);
                    break;
                case kScMinimize:
                    if (widget_) {
                        widget_->showMinimized();
                    }
                    break;
                case kScRestore:
                    if (widget_) {
                        widget_->showNormal();
                    }
                    break;
                default:
                    break;
            }
            return 0;
        case kWmIconEraseBkgnd:
            if (auto* paint =
                    dynamic_cast<QtPaintContext*>(reinterpret_cast<PaintContext*>(wParam));
                paint != nullptr && widget_) {
                paint->EraseBackground(widget_->rect(), widget_->palette().color(QPalette::Window));
            }
            return 1;
        default:
            return 0;
    }
}

void QtDialogWindow::SetIcon(int which, IconHandle icon) {
    (which == kIconBig ? bigIcon_ : smallIcon_) = icon;
    if (!widget_) {
        return;
    }
    // Qt keeps one icon per window and picks the size it needs from it.
    IconHandle shown = bigIcon_ != nullptr ? bigIcon_ : smallIcon_;
    widget_->setWindowIcon(shown != nullptr ? shown->icon : QIcon());
}

IconHandle QtDialogWindow::GetIcon(int which) {
    return which == kIconBig ? bigIcon_ : smallIcon_;
}

bool QtDialogWindow::HasWindowMenu() {
    return menu_ != nullptr;
}

void QtDialogWindow::AppendWindowMenuSeparator() {
    if (menu_ != nullptr) {
        menu_->addSeparator();
    }
}

void QtDialogWindow::AppendWindowMenuItem(unsigned command, const std::string& text) {
    if (menu_ != nullptr) {
        menu_->addAction(Utf8(text))->setData(command);
    }
}

void QtDialogWindow::ShowWindowMenu(const QPoint& globalPos) {
    if (menu_ == nullptr || !widget_ || !widget_->isEnabled()) {
        return;
    }
    QAction* chosen = menu_->exec(globalPos);
    if (chosen != nullptr && !chosen->isSeparator()) {
        OnSysCommand(chosen->data().toUInt());
    }
}

bool QtDialogWindow::IsMinimized() {
    return widget_ && widget_->isMinimized();
}

Size QtDialogWindow::ClientSize() {
    return widget_ ? Size{widget_->width(), widget_->height()} : Size{};
}

std::unique_ptr<PaintContext> QtDialogWindow::BeginPaint() {
    return std::make_unique<QtPaintContext>(inPaintEvent_ ? widget_.get() : nullptr,
                                            host_.IconSize());
}

bool QtDialogWindow::IsEnabled() {
    return widget_ && widget_->isEnabled();
}

void QtDialogWindow::EndDialog(int result) {
    if (!OnUiThread()) {
        SendWork([&] { EndDialog(result); });
        return;
    }
    if (ended_) {
        return;
    }
    ended_ = true;
    result_ = result;
    if (loop_ != nullptr) {
        loop_->exit(result);
    }
}

// --- input -----------------------------------------------------------------

void QtDialogWindow::OnCommand(int id, uint16_t code) {
    // OK and Cancel end the dialog: the base dialog's own commands.
    if (code == kBnClicked && (id == kIdOk || id == kIdCancel)) {
        EndDialog(id);
        return;
    }
    Dispatch(kWmCommand, MakeCommandParam(id, code), 0);
}

void QtDialogWindow::OnSysCommand(unsigned command) {
    Dispatch(kWmSysCommand, command, 0);
}

bool QtDialogWindow::OnDialogKey(int key, Qt::KeyboardModifiers modifiers) {
    const bool plain = modifiers == Qt::NoModifier || modifiers == Qt::KeypadModifier;
    if (key == Qt::Key_Escape && plain) {
        OnCommand(kIdCancel, kBnClicked);
        return true;
    }
    if (key == Qt::Key_F1 && plain) {
        OnCommand(kIdHelp, 0);
        return true;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && plain && widget_) {
        // A focused push button takes Enter itself; otherwise the template's
        // default button, or OK when it has none.
        if (auto* button = qobject_cast<QPushButton*>(widget_->focusWidget())) {
            button->click();
            return true;
        }
        for (const res::ControlTemplate& control : template_.controls) {
            if (!control.isDefaultButton()) {
                continue;
            }
            if (auto* button = qobject_cast<QPushButton*>(Control(control.id));
                button && button->isVisible() && button->isEnabled()) {
                button->click();
                return true;
            }
        }
        OnCommand(kIdOk, kBnClicked);
        return true;
    }
    return false;
}

void QtDialogWindow::OnPaintEvent() {
    inPaintEvent_ = true;
    Dispatch(kWmPaint, 0, 0);
    inPaintEvent_ = false;
}

// --- the modal run ---------------------------------------------------------

void QtDialogWindow::Centre(QtDialogWindow* owner) {
    QRect area;
    if (owner != nullptr && owner->widget_) {
        area = owner->widget_->frameGeometry();
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        area = screen->availableGeometry();
    }
    // The frame is known only once the window is shown; until then it is
    // taken as the client area.
    const QSize size = widget_->frameGeometry().size();
    widget_->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
}

void QtDialogWindow::FocusFirstTabStop() {
    for (const res::ControlTemplate& control : template_.controls) {
        if (!control.hasId() || !control.visible() || !control.tabStop()) {
            continue;
        }
        if (QWidget* w = Control(control.id); w != nullptr && w->isEnabled()) {
            w->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

int QtDialogWindow::RunModal(MessageTarget& target) {
    if (ran_ || !widget_ || !OnUiThread()) {
        return -1;
    }
    ran_ = true;
    target_ = &target;
    QtDialogWindow* owner = host_.InnermostModal();
    host_.PushModal(this);
    const bool ownerWasEnabled = owner != nullptr && owner->IsEnabled();

    const LResult focusDefault = Dispatch(kWmInitDialog, 0, 0);
    if (!ended_ && !host_.cancelling() && widget_) {
        if (owner != nullptr && owner->widget_) {
            owner->widget_->setEnabled(false);
        }
        widget_->setWindowModality(Qt::ApplicationModal);
        Centre(owner);
        widget_->show();
        Centre(owner);
        if (owner != nullptr && owner->widget_ && owner->widget_->windowHandle() &&
            widget_->windowHandle()) {
            widget_->windowHandle()->setTransientParent(owner->widget_->windowHandle());
        }
        widget_->raise();
        widget_->activateWindow();
        if (focusDefault != 0) {
            FocusFirstTabStop();
        }
        if (!ended_) {
            QEventLoop loop;
            loop_ = &loop;
            loop.exec(QEventLoop::DialogExec);
            loop_ = nullptr;
        }
    }
    if (!ended_) {
        result_ = kIdCancel;  // ended by the window system going away
    }
    if (owner != nullptr && owner->widget_) {
        owner->widget_->setEnabled(ownerWasEnabled);
        if (ownerWasEnabled) {
            owner->widget_->activateWindow();
        }
    }
    host_.PopModal(this);
    Destroy();
    target_ = nullptr;
    return result_;
}

}  // namespace plk::platform

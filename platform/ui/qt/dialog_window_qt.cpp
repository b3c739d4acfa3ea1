// A dialog window on Qt Widgets: controls laid out from the template in dialog
// units, the dialog keyboard, a window menu of its own, a modal loop, and
// synchronous sends from other threads through an event the loop watches.
#include <QAbstractItemView>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QWindow>
#include <cstdio>

#include "platform/ui/qt/dialog_host_qt.h"
#include "platform/ui/dialog_init.h"

namespace plk::platform {

namespace {

constexpr int kNoId16 = 0xFFFF;

bool HasId(const res::ControlTemplate& control) {
    return control.id != -1 && control.id != kNoId16;
}

QString Utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A painter on the widget during its paint event; outside one, drawing goes
// nowhere (there is nothing on screen to draw on).
class QtPaintContext final : public PaintContext {
public:
    QtPaintContext(QWidget* widget, Size iconSize) : iconSize_(iconSize) {
        if (widget != nullptr) {
            painter_ = std::make_unique<QPainter>(widget);
        }
    }
    void DrawIcon(int x, int y, IconHandle icon) override {
        if (painter_ && icon != nullptr) {
            painter_->drawPixmap(QRect(x, y, iconSize_.width, iconSize_.height), icon->pixmap);
        }
    }
    void EraseBackground(const QRect& rect, const QColor& colour) {
        if (painter_) {
            painter_->fillRect(rect, colour);
        }
    }

private:
    Size iconSize_;
    std::unique_ptr<QPainter> painter_;
};

}  // namespace

QString ControlObjectName(const res::ControlTemplate& control, int index) {
    return HasId(control) ? QStringLiteral("control-%1").arg(control.id)
                          : QStringLiteral("static-%1").arg(index);
}

// A drop-down combo box that tells the dialog before its list opens.
class ComboWidget final : public QComboBox {
public:
    ComboWidget(QtDialogWindow& owner, int id, QWidget* parent)
        : QComboBox(parent), owner_(owner), id_(id) {}
    void showPopup() override {
        owner_.OnCommand(id_, kCbnDropdown);
        QComboBox::showPopup();
    }

private:
    QtDialogWindow& owner_;
    int id_;
};

class DialogWidget final : public QDialog {
public:
    explicit DialogWidget(QtDialogWindow& owner) : owner_(owner) {}

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!owner_.OnDialogKey(event->key(), event->modifiers())) {
            event->ignore();
        }
    }
    void closeEvent(QCloseEvent* event) override {
        // The close box is the window menu's close command; the dialog decides.
        event->ignore();
        owner_.OnSysCommand(kScClose);
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        owner_.ShowWindowMenu(event->globalPos());
    }
    void paintEvent(QPaintEvent* event) override {
        QDialog::paintEvent(event);
        owner_.OnPaintEvent();
    }
    // Enter and Escape typed into a combo box whose list is closed belong to
    // the dialog, as with a native dialog.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            const int k = key->key();
            if (k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Escape) {
                QObject* object = watched;
                while (object != nullptr && qobject_cast<QComboBox*>(object) == nullptr) {
                    object = object->parent();
                }
                auto* combo = qobject_cast<QComboBox*>(object);
                if (combo != nullptr && !(combo->view() != nullptr && combo->view()->isVisible())) {
                    return owner_.OnDialogKey(k, key->modifiers());
                }
            }
        }
        return QDialog::eventFilter(watched, event);
    }

private:
    QtDialogWindow& owner_;
};

QtDialogWindow::QtDialogWindow(QtDialogHost& host, const res::DialogTemplate& dialog)
    : host_(host), template_(dialog), uiThread_(std::this_thread::get_id()) {
    Build();
}

QtDialogWindow::~QtDialogWindow() {
    Destroy();
}

QDialog* QtDialogWindow::widget() const {
    return widget_.get();
}

void QtDialogWindow::Build() {
    widget_ = std::make_unique<DialogWidget>(*this);
    DialogWidget& w = *widget_;
    w.setObjectName(QStringLiteral("dialog-%1").arg(template_.id));
    w.setWindowTitle(Utf8(template_.caption));
    // A fixed frame with a title and a close box: no minimize or maximize box.
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::MSWindowsFixedSizeDialogHint;
    if ((template_.style & res::style::kSysMenu) != 0) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    }
    w.setWindowFlags(flags);
    w.setSizeGripEnabled(false);

    const QFont font = QtDialogHost::DialogFont(template_);
    w.setFont(font);
    const QFontMetrics metrics(font);
    const DialogBaseUnits units = DialogBaseUnits::FromFont(
        metrics.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
        metrics.height());
    w.setFixedSize(units.ToPixelsX(template_.width), units.ToPixelsY(template_.height));

    QWidget* previousTabStop = nullptr;
    int index = 0;
    for (const res::ControlTemplate& control : template_.controls) {
        const Rect r = units.ToPixels(control.x, control.y, control.width, control.height);
        const QString text = Utf8(control.text);
        QWidget* made = nullptr;
        switch (control.controlClass) {
            case res::ControlClass::kButton: {
                auto* button = new QPushButton(text, &w);
                // Enter is the dialog's to route (OnDialogKey); Qt's auto-default
                // buttons would keep the last focused one as the default.
                button->setAutoDefault(false);
                button->setDefault((control.style & 0xF) == res::style::kDefPushButton);
                const int id = control.id;
                QObject::connect(button, &QPushButton::clicked, &w,
                                 [this, id] { OnCommand(id, kBnClicked); });
                button->setGeometry(r.x, r.y, r.width, r.height);
                made = button;
                break;
            }
            case res::ControlClass::kStatic: {
                auto* label = new QLabel(&w);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                if ((control.style & 0xF) == res::style::kStaticIcon) {
                    // An icon the resources do not hold leaves the area empty.
                    if (IconHandle icon = host_.LoadIcon(control.iconId); icon != nullptr) {
                        const Size size = host_.IconSize();
                        label->setPixmap(icon->icon.pixmap(size.width, size.height));
                    }
                } else {
                    label->setText(text);
                }
                label->setGeometry(r.x, r.y, r.width, r.height);
                made = label;
                break;
            }
            case res::ControlClass::kComboBox: {
                auto* combo = new ComboWidget(*this, control.id, &w);
                combo->setEditable((control.style & 0x3) == res::style::kComboDropDown);
                combo->setInsertPolicy(QComboBox::NoInsert);
                // The template's height includes the dropped-down list.
                const int field = combo->sizeHint().height();
                combo->setGeometry(r.x, r.y, r.width, field);
                const int row = std::max(1, QFontMetrics(font).height() + 2);
                combo->setMaxVisibleItems(std::max(1, (r.height - field) / row));
                const int id = control.id;
                QObject::connect(combo, &QComboBox::activated, &w,
                                 [this, id](int) { OnCommand(id, kCbnSelendOk); });
                combo->installEventFilter(&w);
                if (combo->lineEdit() != nullptr) {
                    combo->lineEdit()->installEventFilter(&w);
                }
                made = combo;
                break;
            }
        }
        made->setObjectName(ControlObjectName(control, index));
        made->setProperty("controlId", control.id);
        // Only tab-stop controls are reached with Tab; the others take focus on click.
        if (control.controlClass != res::ControlClass::kStatic) {
            made->setFocusPolicy(control.tabStop() ? Qt::StrongFocus : Qt::ClickFocus);
            if (auto* combo = qobject_cast<QComboBox*>(made); combo && combo->lineEdit()) {
                combo->lineEdit()->setFocusPolicy(made->focusPolicy());
            }
            if (control.tabStop()) {
                if (previousTabStop != nullptr) {
                    QWidget::setTabOrder(previousTabStop, made);
                }
                previousTabStop = made;
            }
        } else {
            made->setFocusPolicy(Qt::NoFocus);
        }
        made->setVisible(control.visible());
        if (HasId(control)) {
            controls_[control.id] = made;
        }
        ++index;
    }

    if ((template_.style & res::style::kSysMenu) != 0) {
        menu_ = new QMenu(&w);
        menu_->setObjectName(QStringLiteral("window-menu"));
        QAction* close = menu_->addAction(QStringLiteral("关闭(&C)"));
        close->setData(kScClose);
        auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), &w);
        shortcut->setContext(Qt::WindowShortcut);
        QObject::connect(shortcut, &QShortcut::activated, &w, [this] {
            if (widget_) {
                ShowWindowMenu(widget_->mapToGlobal(QPoint(0, 0)));
            }
        });
    }

    sentNotifier_ = std::make_unique<QSocketNotifier>(
        static_cast<qintptr>(sent_.pending().waitable().native), QSocketNotifier::Read);
    QObject::connect(sentNotifier_.get(), &QSocketNotifier::activated, &w,
                     [this] { sent_.Serve(); });
}

QWidget* QtDialogWindow::Control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

// --- messages -------------------------------------------------------------

LResult QtDialogWindow::Dispatch(uint32_t message, WParam wParam, LParam lParam) {
    if (target_ != nullptr) {
        return target_->WindowProc(message, wParam, lParam);
    }
    return DefaultProc(message, wParam, lParam);
}

bool QtDialogWindow::SendWork(const std::function<void()>& work) {
    if (OnUiThread()) {
        if (sent_.closed()) {
            return false;
        }
        work();
        return true;
    }
    return sent_.SendAndWait(work);
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
    switch (type & 0xF0) {
        case 0x10:
            icon = QMessageBox::Critical;
            break;
        case 0x20:
            icon = QMessageBox::Question;
            break;
        case 0x30:
            icon = QMessageBox::Warning;
            break;
        case 0x40:
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
    SendWork([&] {
        QWidget* control = Control(id);
        if (auto* label = qobject_cast<QLabel*>(control)) {
            label->setText(Utf8(text));
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

void QtDialogWindow::ComboReset(int id) {
    SendWork([&] {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id))) {
            combo->clear();
            combo->setCurrentIndex(-1);
            if (combo->isEditable()) {
                combo->clearEditText();
            }
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
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && plain && widget_) {
        // A focused push button takes Enter itself; otherwise the template's
        // default button, or OK when it has none.
        if (auto* button = qobject_cast<QPushButton*>(widget_->focusWidget())) {
            button->click();
            return true;
        }
        for (const res::ControlTemplate& control : template_.controls) {
            if (control.controlClass != res::ControlClass::kButton ||
                (control.style & 0xF) != res::style::kDefPushButton) {
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
        if (!HasId(control) || !control.visible() || !control.tabStop()) {
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

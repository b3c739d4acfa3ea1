// A Qt dialog built from its template: controls laid out in dialog units of the
// dialog font, tab stops, the default button, the window menu, and the event
// the loop watches for other threads' sends.
#include <QFontMetrics>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>

#include "platform/ui/qt/dialog_widgets_qt.h"

namespace plk::platform {

QString ControlObjectName(const res::ControlTemplate& control, int index) {
    return control.hasId() ? QStringLiteral("control-%1").arg(control.id)
                           : QStringLiteral("static-%1").arg(index);
}

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
                button->setDefault(control.isDefaultButton());
                const int id = control.id;
                QObject::connect(button, &QPushButton::clicked, &w,
                                 [this, id] { OnCommand(id, kBnClicked); });
                button->setGeometry(r.x, r.y, r.width, r.height);
                made = button;
                break;
            }
            case res::ControlClass::kStatic: {
                auto* label = new StaticWidget(QRect(r.x, r.y, r.width, r.height), &w);
                if (control.isIcon()) {
                    // An icon the resources do not hold leaves the area empty.
                    if (IconHandle icon = host_.LoadIcon(control.iconId); icon != nullptr) {
                        const Size size = host_.IconSize();
                        label->setPixmap(icon->icon.pixmap(size.width, size.height));
                    }
                } else {
                    label->SetText(text);
                }
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
                // The closed box shows its chosen entry's tip, whoever chose it.
                QObject::connect(combo, &QComboBox::currentIndexChanged, combo, [combo](int i) {
                    combo->setToolTip(i >= 0 ? combo->itemData(i, Qt::ToolTipRole).toString()
                                             : QString());
                });
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
        if (control.hasId()) {
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

}  // namespace plk::platform

// The Qt window layer on the offscreen platform: dialogs built from their
// templates, the dialog keyboard, the window menu and the About box, combo
// notifications, and sends and boxes from other threads.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QTest>
#include <atomic>
#include <thread>

#include "app/bridge_app.h"
#include "app/bridge_dlg.h"
#include "platform/ui/gui_session.h"
#include "res/resource.h"
#include "res/templates.h"
#include "serial/serial_link.h"
#include "support/qt_support.h"

namespace plk {
namespace {

using platform::kWmCommand;
using platform::LParam;
using platform::LResult;
using platform::MakeCommandParam;
using platform::QtDialogWindow;
using platform::WParam;
using test::RunWith;
using test::Visible;
using test::When;

struct Seen {
    uint32_t message;
    WParam wParam;
    LParam lParam;
    bool operator==(const Seen&) const = default;
};
void PrintTo(const Seen& s, std::ostream* out) {
    *out << "{" << s.message << ", 0x" << std::hex << s.wParam << std::dec << ", " << s.lParam
         << "}";
}

// The main dialog's shell (CBridgeDlg's own steps, not the port control)
// behind a target that records notifications and the thread they came on.
class ShellTarget final : public platform::MessageTarget {
public:
    explicit ShellTarget(QtDialogWindow& window) {
        dialog.Attach(&window);
        dialog.AttachFrame(&window);
    }
    LResult WindowProc(uint32_t message, WParam wParam, LParam lParam) override {
        if (message == platform::kWmInitDialog) {
            dialog.InitWindowShell();
            return 1;
        }
        if (message == kWmCommand || message == WM_PORT_CHAR ||
            message == platform::kWmSysCommand) {
            seen.push_back({message, wParam, lParam});
            threads.push_back(std::this_thread::get_id());
            if (hook) {
                hook(seen.back());
            }
        }
        // The port control's notifications are only recorded: its own tests
        // cover what it does with them.
        const int control = static_cast<int>(wParam & 0xFFFF);
        if (message == kWmCommand && control >= IDC_BTN_CONNECT && control <= IDC_CMB_MODEL) {
            return 0;
        }
        return dialog.WindowProc(message, wParam, lParam);
    }

    CBridgeDlg dialog;
    std::vector<Seen> seen;
    std::vector<std::thread::id> threads;
    std::function<void(const Seen&)> hook;
};

template <typename T = QWidget>
T* Child(QWidget* dialog, int id) {
    return dialog->findChild<T*>(QStringLiteral("control-%1").arg(id));
}

QWidget* AboutBox() {
    return Visible(QStringLiteral("dialog-100"));
}

class WindowQtTest : public ::testing::Test {
protected:
    std::unique_ptr<QtDialogWindow> window_ = test::MakeDialog(res::MainDialog());
    ShellTarget target_{*window_};
    QDialog* widget_ = window_->widget();
};

TEST_F(WindowQtTest, ControlsArePlacedFromTheTemplateInDialogUnits) {
    for (const res::DialogTemplate* dialog : {&res::MainDialog(), &res::AboutBox()}) {
        SCOPED_TRACE(dialog->id);
        const auto window = test::MakeDialog(*dialog);
        QDialog* w = window->widget();
        const QFontMetrics metrics(w->font());
        // The dialog manager's rule, computed here independently.
        const int baseX = (metrics.horizontalAdvance(QStringLiteral(
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                               26 +
                           1) /
                          2;
        const int baseY = metrics.height();
        auto px = [](int units, int base, int per) { return (units * base + per / 2) / per; };
        ASSERT_GT(baseX, 3);
        EXPECT_EQ(w->size(), QSize(px(dialog->width, baseX, 4), px(dialog->height, baseY, 8)));
        EXPECT_EQ(w->minimumSize(), w->maximumSize());  // fixed size

        int index = 0;
        for (const res::ControlTemplate& c : dialog->controls) {
            SCOPED_TRACE(index);
            auto* control = w->findChild<QWidget*>(platform::ControlObjectName(c, index++));
            ASSERT_NE(control, nullptr);
            const QRect r = control->geometry();
            EXPECT_EQ(r.x(), px(c.x, baseX, 4));
            EXPECT_EQ(r.y(), px(c.y, baseY, 8));
            EXPECT_EQ(r.width(), px(c.width, baseX, 4));
            if (c.controlClass == res::ControlClass::kComboBox) {
                // The template's height is the dropped-down list's.
                EXPECT_LT(r.height(), px(c.height, baseY, 8));
            } else {
                EXPECT_EQ(r.height(), px(c.height, baseY, 8));
            }
            EXPECT_EQ(control->isVisibleTo(w), c.visible());
        }
    }
}

TEST_F(WindowQtTest, TextsHaveEveryGlyphInTheDialogFace) {
    const QFontInfo info(widget_->font());
    EXPECT_EQ(info.pointSize(), 9);
    QStringList families;
    for (std::string_view f : res::DialogFontFamilies()) {
        families << QString::fromUtf8(f.data(), static_cast<qsizetype>(f.size()));
    }
    EXPECT_TRUE(families.contains(info.family())) << info.family().toStdString();

    const QRawFont raw = QRawFont::fromFont(widget_->font());
    ASSERT_TRUE(raw.isValid());
    std::vector<std::string_view> texts{res::LoadString(IDS_ABOUT_ENTRY)};
    for (const res::DialogTemplate* d : {&res::MainDialog(), &res::AboutBox()}) {
        texts.push_back(d->caption);
        for (const auto& c : d->controls) {
            texts.push_back(c.text);
        }
    }
    // The texts the program itself puts into the dialog.
    for (const char* t : {"关闭串口", "已连接", "串口:COM3 型号:115200", "打开串口error"}) {
        texts.push_back(t);
    }
    for (std::string_view text : texts) {
        const QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        for (const char32_t c : s.toUcs4()) {
            if (c != ' ') {
                EXPECT_TRUE(raw.supportsCharacter(c))
                    << "U+" << std::hex << static_cast<uint32_t>(c) << " of " << text;
            }
        }
    }
}

// Every text the program puts into its two status labels is read whole: on
// one line, where the template puts the label, inside the dialog and clear of
// the other controls.
TEST_F(WindowQtTest, EveryStatusTextIsShownWholeInItsLabel) {
    const struct {
        int id;
        const char* text;
    } cases[] = {
        {IDC_TXT_PORTINFO, "打开端口失败,请检查12345端口是否被占用"},
        {IDC_TXT_PORTINFO, "打开端口成功"},
        {IDC_TXT_PORTINFO, "串口:COM33"},
        {IDC_TXT_PORTINFO, "串口:COM33 型号:115200"},
        {IDC_TXT_LINKSTATE, "已连接"},
        {IDC_TXT_LINKSTATE, "未连接"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto* label = Child<QLabel>(widget_, c.id);
        ASSERT_NE(label, nullptr);
        const QRect placed = label->geometry();
        window_->SetItemText(c.id, c.text);
        ASSERT_EQ(label->text(), QString::fromUtf8(c.text));
        const QRect shown = label->geometry();
        EXPECT_EQ(shown.topLeft(), placed.topLeft());
        EXPECT_EQ(shown.height(), placed.height());

        const QFontMetrics metrics(label->font());
        const QRect text =
            metrics.boundingRect(label->contentsRect(), label->alignment(), label->text());
        EXPECT_TRUE(label->contentsRect().contains(text))
            << text.width() << " > " << label->contentsRect().width();
        EXPECT_GE(label->contentsRect().width(), metrics.horizontalAdvance(label->text()));
        EXPECT_GE(label->contentsRect().height(), metrics.height());
        EXPECT_TRUE(widget_->rect().contains(shown));
        for (QWidget* other : widget_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (other != label && other->property("controlId").isValid() &&
                other->isVisibleTo(widget_)) {
                EXPECT_FALSE(shown.intersects(other->geometry()))
                    << other->objectName().toStdString();
            }
        }
    }
}

TEST_F(WindowQtTest, OpensCentredFixedWithoutMinMaxAndStartsOnConnect) {
    const int result = RunWith(*window_, target_, [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(widget_));
        const Qt::WindowFlags flags = widget_->windowFlags();
        EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
        EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_LE((widget_->frameGeometry().center() - screen.center()).manhattanLength(), 2);
        EXPECT_EQ(widget_->windowTitle(), QStringLiteral("Plinkor-在线编程"));
        EXPECT_FALSE(widget_->windowIcon().isNull());
        EXPECT_NE(window_->GetIcon(platform::kIconBig), nullptr);
        EXPECT_EQ(window_->GetIcon(platform::kIconSmall), window_->GetIcon(platform::kIconBig));
        EXPECT_EQ(QApplication::focusWidget(), Child(widget_, IDC_BTN_CONNECT));
        // The base initialisation put the one entry into the hidden model list.
        EXPECT_EQ(window_->ComboCount(IDC_CMB_MODEL), 1);
        EXPECT_EQ(window_->ComboText(IDC_CMB_MODEL, 0), "115200");
        EXPECT_EQ(window_->ComboGetCurSel(IDC_CMB_MODEL), -1);
        QTest::keyClick(widget_, Qt::Key_Escape);
    });
    EXPECT_EQ(result, platform::kIdCancel);
    EXPECT_EQ(window_->widget(), nullptr);  // destroyed as the dialog ended
}

TEST_F(WindowQtTest, TabMovesBetweenTheTwoButtonsOnly) {
    RunWith(*window_, target_, [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(widget_));
        auto* connect = Child(widget_, IDC_BTN_CONNECT);
        auto* open = Child(widget_, IDC_BTN_OPENPORT);
        auto* port = Child<QComboBox>(widget_, IDC_CMB_PORT);
        ASSERT_EQ(QApplication::focusWidget(), connect);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), open);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), connect);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_EQ(QApplication::focusWidget(), open);
        // The port list takes the focus on a click, and Tab leaves it for a button.
        QTest::mouseClick(port->lineEdit(), Qt::LeftButton);
        EXPECT_TRUE(port->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), connect);
        window_->EndDialog(platform::kIdCancel);
    });
}

TEST_F(WindowQtTest, EnterInThePortListIsOk) {
    const int result = RunWith(*window_, target_, [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(widget_));
        auto* port = Child<QComboBox>(widget_, IDC_CMB_PORT);
        window_->ComboInsert(IDC_CMB_PORT, 0, "COM3");
        port->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    });
    EXPECT_EQ(result, platform::kIdOk);
    EXPECT_TRUE(target_.seen.empty());
}

TEST_F(WindowQtTest, EnterOnAButtonClicksItAndEscapeCancels) {
    const int result = RunWith(*window_, target_, [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(widget_));
        Child(widget_, IDC_BTN_OPENPORT)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_EQ(target_.seen.size(), 2u);
        QTest::keyClick(Child(widget_, IDC_CMB_PORT), Qt::Key_Escape);
    });
    EXPECT_EQ(result, platform::kIdCancel);
    const Seen click{kWmCommand, MakeCommandParam(IDC_BTN_OPENPORT, platform::kBnClicked), 0};
    EXPECT_EQ(target_.seen, (std::vector<Seen>{click, click}));
}

TEST_F(WindowQtTest, F1IsTheHelpCommandThatTheApplicationTakes) {
    CBridgeApp app;
    target_.dialog.SetCommandOwner(&app);
    const int result = RunWith(*window_, target_, [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(widget_));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
        EXPECT_EQ(app.helpRequests(), 1);
        EXPECT_NE(window_->widget(), nullptr);  // nothing else happened
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    });
    EXPECT_EQ(result, platform::kIdCancel);
    EXPECT_EQ(target_.seen, (std::vector<Seen>{{kWmCommand, platform::kIdHelp, 0}}));
}

TEST_F(WindowQtTest, CloseBoxIsTheCloseSystemCommandAndCancels) {
    const int result = RunWith(*window_, target_, [&] { widget_->close(); });
    EXPECT_EQ(result, platform::kIdCancel);
    EXPECT_EQ(target_.seen, (std::vector<Seen>{{platform::kWmSysCommand, platform::kScClose, 0}}));
}

TEST_F(WindowQtTest, WindowMenuEndsWithTheAboutEntryAndOpensTheBox) {
    int abouts = 0;
    const int result = RunWith(*window_, target_, [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(widget_));
        const QList<QAction*> actions = window_->windowMenu()->actions();
        ASSERT_EQ(actions.size(), 3);
        EXPECT_EQ(actions[0]->text(), QStringLiteral("关闭(&C)"));
        EXPECT_TRUE(actions[1]->isSeparator());
        EXPECT_EQ(actions[2]->text(), QStringLiteral("关于 Plinkor(&A)..."));

        QObject guard;
        // Alt+Space, then the access key A: the About box opens over the dialog.
        When(
            &guard,
            [&]() -> QWidget* {
                return window_->windowMenu()->isVisible() ? window_->windowMenu() : nullptr;
            },
            [](QWidget* menu) { QTest::keyClick(menu, Qt::Key_A); });
        When(&guard, AboutBox, [&](QWidget* about) {
            ++abouts;
            EXPECT_FALSE(widget_->isEnabled());
            QTest::keyClick(about, Qt::Key_Escape);
        });
        QTest::keyClick(widget_, Qt::Key_Space, Qt::AltModifier);
        EXPECT_EQ(abouts, 1);
        EXPECT_TRUE(widget_->isEnabled());

        // Right click: the menu shows; Escape closes it and nothing happens.
        When(
            &guard,
            [&]() -> QWidget* {
                return window_->windowMenu()->isVisible() ? window_->windowMenu() : nullptr;
            },
            [](QWidget* menu) { QTest::keyClick(menu, Qt::Key_Escape); });
        QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(5, 5),
                                widget_->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(widget_, &right);
        EXPECT_EQ(target_.seen.size(), 1u);  // nothing chosen, nothing sent

        window_->OnSysCommand(platform::kScClose);  // the menu's Close entry
    });
    EXPECT_EQ(result, platform::kIdCancel);
    EXPECT_EQ(target_.seen, (std::vector<Seen>{{platform::kWmSysCommand, IDM_ABOUT_ENTRY, 0},
                                               {platform::kWmSysCommand, platform::kScClose, 0}}));
}

TEST_F(WindowQtTest, SystemCommandsSixteenToThirtyOneOpenTheAboutBox) {
    std::vector<unsigned> opened;
    unsigned current = 0;
    QObject guard;
    std::function<void()> watch = [&] {
        When(&guard, AboutBox, [&](QWidget* about) {
            opened.push_back(current);
            QTest::keyClick(about, Qt::Key_Escape);
            watch();
        });
    };
    watch();
    RunWith(*window_, target_, [&] {
        for (const unsigned command : {15u, 16u, 17u, 31u, 32u}) {
            current = command;
            target_.dialog.OnSysCommand(command, 0);
            QTest::qWait(20);  // a box opened by mistake would be seen meanwhile
            EXPECT_TRUE(widget_->isVisible());
        }
        current = platform::kScClose;
        target_.dialog.OnSysCommand(platform::kScClose, 0);
    });
    EXPECT_EQ(opened, (std::vector<unsigned>{16, 17, 31}));
}

TEST_F(WindowQtTest, AboutBoxIsModalCentredOverTheDisabledDialog) {
    RunWith(*window_, target_, [&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(widget_));
        QObject guard;
        bool checked = false;
        When(&guard, AboutBox, [&](QWidget* about) {
            EXPECT_FALSE(widget_->isEnabled());
            EXPECT_EQ(about->windowModality(), Qt::ApplicationModal);
            EXPECT_EQ(QApplication::activeModalWidget(), about);
            EXPECT_LE((about->frameGeometry().center() - widget_->frameGeometry().center())
                          .manhattanLength(),
                      2);
            EXPECT_EQ(about->windowTitle(), QStringLiteral("关于 Plinkor"));
            auto labels = about->findChildren<QLabel*>();
            QStringList texts;
            for (QLabel* l : labels) {
                texts << l->text();
            }
            EXPECT_TRUE(texts.contains(QStringLiteral("Plinkor 1.0 版")));
            // Clicks on the disabled dialog do nothing.
            QTest::mouseClick(Child(widget_, IDC_BTN_CONNECT), Qt::LeftButton);
            auto* ok = about->findChild<QPushButton*>(QStringLiteral("control-1"));
            ASSERT_NE(ok, nullptr);
            EXPECT_TRUE(ok->isDefault());
            QTest::mouseClick(ok, Qt::LeftButton);
            checked = true;
        });
        target_.dialog.OnSysCommand(IDM_ABOUT_ENTRY, 0);
        EXPECT_TRUE(checked);
        EXPECT_TRUE(widget_->isEnabled());
        EXPECT_EQ(AboutBox(), nullptr);
        window_->EndDialog(platform::kIdOk);
    });
    EXPECT_TRUE(target_.seen.empty());  // the disabled dialog's button was not clicked
}

TEST_F(WindowQtTest, ComboReportsDropDownBeforeItsListAndTheChoiceAfter) {
    std::vector<std::pair<uint16_t, bool>> notes;  // code, list visible at that moment
    int selectionAtChoice = -2;
    RunWith(*window_, target_, [&] {
        auto* port = Child<QComboBox>(widget_, IDC_CMB_PORT);
        window_->ComboInsert(IDC_CMB_PORT, 0, "COM3");
        window_->ComboInsert(IDC_CMB_PORT, 0, "COM1");  // at a position: never sorted
        window_->ComboInsert(IDC_CMB_PORT, -1, "COM10");
        EXPECT_EQ(window_->ComboGetCurSel(IDC_CMB_PORT), -1);  // inserting selects nothing
        EXPECT_EQ(window_->ItemText(IDC_CMB_PORT), "");
        // The device behind a port: the entry's tip, and the closed box's once chosen.
        window_->ComboSetItemTip(IDC_CMB_PORT, 1, "USB-SERIAL CH340");
        EXPECT_EQ(port->itemData(1, Qt::ToolTipRole).toString(), "USB-SERIAL CH340");
        EXPECT_EQ(port->toolTip(), "");
        EXPECT_EQ(window_->ComboCount(IDC_CMB_PORT), 3);
        EXPECT_EQ(window_->ComboGetCurSel(IDC_CMB_PORT), -1);
        target_.hook = [&](const Seen& s) {
            notes.emplace_back(static_cast<uint16_t>(s.wParam >> 16), port->view()->isVisible());
            if ((s.wParam >> 16) == platform::kCbnSelendOk) {
                selectionAtChoice = window_->ComboGetCurSel(IDC_CMB_PORT);
            }
        };
        port->showPopup();
        ASSERT_TRUE(QTest::qWaitFor([&] { return port->view()->isVisible(); }));
        port->view()->setCurrentIndex(port->model()->index(1, 0));
        QTest::keyClick(port->view(), Qt::Key_Return);
        EXPECT_EQ(window_->ItemText(IDC_CMB_PORT), "COM3");
        EXPECT_EQ(port->toolTip(), "USB-SERIAL CH340");
        EXPECT_EQ(window_->ComboText(IDC_CMB_PORT, 0), "COM1");
        EXPECT_EQ(window_->ComboText(IDC_CMB_PORT, 2), "COM10");
        window_->ComboSetCurSel(IDC_CMB_PORT, -1);
        EXPECT_EQ(window_->ItemText(IDC_CMB_PORT), "");
        EXPECT_EQ(port->toolTip(), "");
        window_->ComboReset(IDC_CMB_PORT);
        EXPECT_EQ(window_->ComboCount(IDC_CMB_PORT), 0);
        window_->EndDialog(platform::kIdCancel);
    });
    const std::vector<std::pair<uint16_t, bool>> expected{{platform::kCbnDropdown, false},
                                                          {platform::kCbnSelendOk, false}};
    EXPECT_EQ(notes, expected);
    EXPECT_EQ(selectionAtChoice, 1);
    for (const Seen& s : target_.seen) {
        EXPECT_EQ(s.wParam & 0xFFFF, static_cast<WParam>(IDC_CMB_PORT));
    }
}

TEST_F(WindowQtTest, SendsFromAnotherThreadRunOnTheWindowsThreadAndFailOnceItIsGone) {
    std::atomic<bool> sentDuringWait{false};
    RunWith(*window_, target_, [&] {
        // Served by the loop.
        LResult result = -1;
        bool sent = false;
        std::thread worker([&] { sent = window_->Send(WM_PORT_CHAR, 'a', 31, &result); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return !target_.seen.empty(); }));
        worker.join();
        EXPECT_TRUE(sent);
        EXPECT_EQ(result, 0);

        // Served while the user-interface thread waits for something else.
        platform::Event done;
        std::thread waiter([&] {
            sentDuringWait = window_->Send(WM_PORT_CHAR, 'b', 31);
            window_->SetItemText(IDC_TXT_PORTINFO, "串口:COM3");
            done.Set();
        });
        window_->WaitServingSends(done);
        waiter.join();
        EXPECT_EQ(Child<QLabel>(widget_, IDC_TXT_PORTINFO)->text(), QStringLiteral("串口:COM3"));
        window_->EndDialog(platform::kIdCancel);
    });
    EXPECT_TRUE(sentDuringWait);
    ASSERT_EQ(target_.seen.size(), 2u);
    EXPECT_EQ(target_.seen[1], (Seen{WM_PORT_CHAR, 'b', 31}));
    for (const auto& id : target_.threads) {
        EXPECT_EQ(id, std::this_thread::get_id());
    }

    // The window is gone: every request from another thread fails at once.
    std::thread late([&] {
        EXPECT_FALSE(window_->Send(WM_PORT_CHAR, 'c', 31));
        window_->SetItemText(IDC_TXT_PORTINFO, "x");
        EXPECT_EQ(window_->ItemText(IDC_TXT_PORTINFO), "");
        EXPECT_EQ(window_->ComboCount(IDC_CMB_MODEL), 0);
        window_->MessageBox("late", "plinkor", platform::kMbOk);  // not shown: reported on stderr
    });
    late.join();
    EXPECT_FALSE(window_->Send(WM_PORT_CHAR, 'd', 31));
    EXPECT_EQ(target_.seen.size(), 2u);
}

TEST_F(WindowQtTest, MessageBoxFromAnotherThreadIsShownOnTheWindowsThread) {
    QString shownText, shownTitle;
    QMessageBox::Icon shownIcon = QMessageBox::NoIcon;
    RunWith(*window_, target_, [&] {
        QObject guard;
        When(
            &guard, [] { return Visible(QStringLiteral("message-box")); },
            [&](QWidget* w) {
                auto* box = static_cast<QMessageBox*>(w);
                EXPECT_EQ(box->thread(), QThread::currentThread());
                shownText = box->text();
                shownTitle = box->windowTitle();
                shownIcon = box->icon();
                QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            });
        std::thread worker([&] {
            window_->MessageBox("COM3: 设备不存在", "Application Error",
                                platform::kMbOk | platform::kMbIconError);
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return !shownText.isEmpty(); }));
        worker.join();
        window_->EndDialog(platform::kIdCancel);
    });
    EXPECT_EQ(shownText, QStringLiteral("COM3: 设备不存在"));
    EXPECT_EQ(shownTitle, QStringLiteral("Application Error"));
    EXPECT_EQ(shownIcon, QMessageBox::Critical);
}

// The box runs inside the work of the send that asked for it; a send from
// another thread meanwhile (the monitor's next byte) must still get through,
// although the queue was in the middle of serving when the box opened.
TEST_F(WindowQtTest, SendsGetThroughWhileABoxSentFromAnotherThreadIsOpen) {
    std::atomic<bool> boxClosed{false};
    bool servedDuringBox = false;
    RunWith(*window_, target_, [&] {
        QObject guard;
        When(
            &guard, [] { return Visible(QStringLiteral("message-box")); },
            [&](QWidget* w) {
                std::atomic<bool> sent{false};
                std::thread byte([&] { sent = window_->Send(WM_PORT_CHAR, 'z', 31); });
                servedDuringBox = QTest::qWaitFor([&] { return sent.load(); }, 5000);
                QTest::mouseClick(static_cast<QMessageBox*>(w)->button(QMessageBox::Ok),
                                  Qt::LeftButton);
                byte.join();  // served once the box is gone, if not before
            });
        std::thread worker([&] {
            window_->MessageBox("COM3", "Application Error", platform::kMbOk);
            boxClosed = true;
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return boxClosed.load(); }, 10000));
        worker.join();
        window_->EndDialog(platform::kIdCancel);
    });
    EXPECT_TRUE(servedDuringBox);
    ASSERT_FALSE(target_.seen.empty());
    EXPECT_EQ(target_.seen.back(), (Seen{WM_PORT_CHAR, 'z', 31}));
}

}  // namespace
}  // namespace plk

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    const auto session = plk::platform::GuiSession::Start(argc, argv);
    return RUN_ALL_TESTS();
}

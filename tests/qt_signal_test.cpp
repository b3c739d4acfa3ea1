// SIGTERM and SIGINT end the running dialogs as Cancel does, innermost first,
// and whatever dialog or box would start afterwards ends at once. Each case
// runs in a process of its own (the cancel lasts for the process).
#include <gtest/gtest.h>
#include <signal.h>

#include <QTest>

#include "app/about_box.h"
#include "platform/ui/gui_session.h"
#include "res/templates.h"
#include "support/qt_support.h"

namespace plk {
namespace {

using platform::LParam;
using platform::LResult;
using platform::WParam;

// A dialog that opens the About box for system command 16 and leaves the rest
// to default processing.
class Target final : public platform::MessageTarget {
public:
    explicit Target(platform::DialogFrame& frame) : frame_(frame) {}
    LResult WindowProc(uint32_t message, WParam wParam, LParam lParam) override {
        if (message == platform::kWmSysCommand && (wParam & 0xFFF0) == 16) {
            CAboutBox about;
            aboutResult = about.DoModal();
            return 0;
        }
        return frame_.DefaultProc(message, wParam, lParam);
    }
    int aboutResult = 0;

private:
    platform::DialogFrame& frame_;
};

class SignalTest : public ::testing::TestWithParam<int> {};

TEST_P(SignalTest, EndsTheAboutBoxThenTheDialogWithCancel) {
    const auto window = test::MakeDialog(res::MainDialog());
    Target target(*window);
    bool boxClosed = false;
    const int result = test::RunWith(*window, target, [&] {
        QObject guard;
        test::When(
            &guard, [] { return test::Visible(QStringLiteral("dialog-100")); },
            [&](QWidget*) {
                // A message box over the About box, then the signal.
                test::When(
                    &guard, [] { return test::Visible(QStringLiteral("message-box")); },
                    [&](QWidget*) { raise(GetParam()); });
                window->MessageBox("打开串口error", "plinkor", platform::kMbOk);
                boxClosed = true;
            });
        window->OnSysCommand(16);
    });
    EXPECT_TRUE(boxClosed);
    EXPECT_EQ(target.aboutResult, platform::kIdCancel);
    EXPECT_EQ(result, platform::kIdCancel);

    // The process is ending: a dialog started now ends at once, unshown.
    const auto late = test::MakeDialog(res::AboutBox());
    Target lateTarget(*late);
    EXPECT_EQ(late->RunModal(lateTarget), platform::kIdCancel);
}

TEST_P(SignalTest, ClosesAnOpenWindowMenuAndEndsTheDialog) {
    const auto window = test::MakeDialog(res::MainDialog());
    Target target(*window);
    const int result = test::RunWith(*window, target, [&] {
        QObject guard;
        test::When(
            &guard,
            [&]() -> QWidget* {
                return window->windowMenu()->isVisible() ? window->windowMenu() : nullptr;
            },
            [&](QWidget*) { raise(GetParam()); });
        window->ShowWindowMenu(QPoint(10, 10));  // returns once the menu is gone
    });
    EXPECT_EQ(result, platform::kIdCancel);
}

TEST(SecondSignal, EndsTheProgramTheDefaultWay) {
    // The first only asks the dialogs to end; the second is for a program that hangs.
    EXPECT_EXIT(
        {
            raise(SIGTERM);
            raise(SIGTERM);
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGTERM), "");
}

INSTANTIATE_TEST_SUITE_P(TerminationSignals, SignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) {
                             return std::string(info.param == SIGTERM ? "Sigterm" : "Sigint");
                         });

}  // namespace
}  // namespace plk

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    const auto session = plk::platform::GuiSession::Start(argc, argv);
    session->CancelDialogsOnTerminationSignals();
    return RUN_ALL_TESTS();
}

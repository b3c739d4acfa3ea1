// The headless window the other tests drive the program through: its sends
// and its controls.
#include "support/window_headless.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sys/event.h"
#include "support/recorder.h"

namespace plk::test {
namespace {

using platform::Event;
using platform::LResult;
using platform::Waitable;
using platform::WaitAny;

TEST(HeadlessWindow, SendRunsOnTheUiThreadAndFailsOnceDestroyed) {
    HeadlessWindow window;
    Recorder recorder;
    window.SetTarget(&recorder);
    std::thread::id uiThread;
    window.Run([&] { uiThread = std::this_thread::get_id(); });
    std::thread::id handledOn;
    recorder.SetHook([&](const Message&) { handledOn = std::this_thread::get_id(); });

    LResult result = -1;
    EXPECT_TRUE(window.Send(1031, 7, 3, &result));
    EXPECT_EQ(handledOn, uiThread);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(recorder.Messages().size(), 1u);

    window.Destroy();
    EXPECT_FALSE(window.Send(1031, 8, 3));
    window.SetItemText(1004, "ignored");
    EXPECT_EQ(window.ItemText(1004), "");
    EXPECT_EQ(recorder.Messages().size(), 1u);
}

TEST(HeadlessWindow, WaitServingSendsServesSendsButNotUserInput) {
    HeadlessWindow window;
    Recorder recorder;
    window.SetTarget(&recorder);
    Event done;
    std::atomic<bool> userInputRan{false};
    std::atomic<bool> sendHandled{false};
    window.Run([&] {
        window.Post([&] { userInputRan = true; });
        std::thread worker([&] {
            sendHandled = window.Send(1031, 1, 1);  // blocks until the UI thread serves it
            done.Set();
        });
        window.WaitServingSends(done);
        worker.join();
        EXPECT_FALSE(userInputRan.load());
    });
    EXPECT_TRUE(sendHandled.load());
    window.Run([] {});
    EXPECT_TRUE(userInputRan.load());
}

TEST(HeadlessWindow, DestroyReleasesABlockedSender) {
    Event busy, release;  // outlive the window's thread, which waits on them
    HeadlessWindow window;
    Recorder recorder;
    window.SetTarget(&recorder);
    window.Post([&] {
        busy.Set();
        const Waitable one[] = {release.waitable()};
        WaitAny(one);  // the UI thread is busy with user input
    });
    const Waitable started[] = {busy.waitable()};
    ASSERT_EQ(WaitAny(started, 5000), 0);
    std::atomic<int> sent{-1};
    std::thread worker([&] { sent = window.Send(1031, 1, 1) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    window.Destroy();
    worker.join();
    EXPECT_EQ(sent.load(), 0);
    release.Set();
}

TEST(HeadlessWindow, CombosKeepInsertionOrder) {
    HeadlessWindow window;
    window.ComboInsert(1002, 0, "COM1");
    window.ComboInsert(1002, 1, "COM10");
    window.ComboInsert(1002, 2, "COM3");
    EXPECT_EQ(window.ComboCount(1002), 3);
    EXPECT_EQ(window.ComboText(1002, 1), "COM10");
    window.ComboSetCurSel(1002, 2);
    EXPECT_EQ(window.ComboGetCurSel(1002), 2);
    EXPECT_EQ(window.ItemText(1002), "COM3");
    window.ComboSetCurSel(1002, -1);
    EXPECT_EQ(window.ComboGetCurSel(1002), -1);
    EXPECT_EQ(window.ItemText(1002), "");
    window.ComboReset(1002);
    EXPECT_EQ(window.ComboCount(1002), 0);
}

}  // namespace
}  // namespace plk::test

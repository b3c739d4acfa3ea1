// The platform layer: events and waits, the port-number scheme, the line
// definition text, error texts and the headless window's sends.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/event.h"
#include "platform/port_scheme.h"
#include "platform/serial_port.h"
#include "platform/sys_error.h"
#include "platform/window_headless.h"
#include "support/recorder.h"

namespace plk::platform {
namespace {

TEST(Event, ManualResetAndLowestIndexWins) {
    Event a, b, c;
    ASSERT_TRUE(a.valid() && b.valid() && c.valid());
    EXPECT_FALSE(a.IsSet());
    a.Set();
    a.Set();
    EXPECT_TRUE(a.IsSet());  // stays set until reset
    EXPECT_TRUE(a.IsSet());
    a.Reset();
    EXPECT_FALSE(a.IsSet());

    const Waitable all[] = {a.waitable(), b.waitable(), c.waitable()};
    EXPECT_EQ(WaitAny(all, 0), kWaitTimeout);
    c.Set();
    b.Set();
    EXPECT_EQ(WaitAny(all), 1);
    a.Set();
    EXPECT_EQ(WaitAny(all), 0);
    // An absent object is skipped, not waited on.
    const Waitable gap[] = {Waitable{}, c.waitable()};
    EXPECT_EQ(WaitAny(gap), 1);
}

TEST(Event, WakesAWaiterOnAnotherThread) {
    Event e;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        e.Set();
    });
    const Waitable one[] = {e.waitable()};
    EXPECT_EQ(WaitAny(one, 5000), 0);
    setter.join();
}

// Signals that keep interrupting a bounded wait must not keep it going.
TEST(Event, SignalsDoNotStretchABoundedWait) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    const pthread_t waiter = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        // Bounded, so that a wait that restarts on every signal fails, not hangs.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!done.load() && std::chrono::steady_clock::now() < until) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    Event never;
    const Waitable one[] = {never.waitable()};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitAny(one, 150), kWaitTimeout);
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_LT(took, std::chrono::seconds(2)) << "each signal restarted the whole wait";
}

TEST(PortScheme, NumbersAndNamesMapBothWays) {
    EXPECT_EQ(DeviceNameForPort(1), "ttyS0");
    EXPECT_EQ(DeviceNameForPort(32), "ttyS31");
    EXPECT_EQ(DeviceNameForPort(33), "ttyUSB0");
    EXPECT_EQ(DeviceNameForPort(65), "ttyACM0");
    EXPECT_EQ(DeviceNameForPort(97), "ttyAMA0");
    EXPECT_EQ(DeviceNameForPort(160), "rfcomm31");
    EXPECT_FALSE(DeviceNameForPort(0));
    EXPECT_FALSE(DeviceNameForPort(161));
    EXPECT_FALSE(DeviceNameForPort(-5));
    for (int n = 1; n <= 160; ++n) {
        EXPECT_EQ(PortForDeviceName(*DeviceNameForPort(n)), n);
    }
    EXPECT_FALSE(PortForDeviceName("ttyUSB32"));
    EXPECT_FALSE(PortForDeviceName("ttyS01"));
    EXPECT_FALSE(PortForDeviceName("ttyS-1"));
    EXPECT_FALSE(PortForDeviceName("ttyS"));
    EXPECT_FALSE(PortForDeviceName("tty0"));
    EXPECT_FALSE(PortForDeviceName("ttyUSB1x"));
}

TEST(LineDefinition, KeyedTextIsLaidOverTheSettings) {
    LineSettings s;
    s.baudRate = 9600;
    s.parity = 'E';
    s.evtChar = 'q';
    s.rtsControl = RtsControl::kDisable;
    s.outX = true;
    ASSERT_TRUE(BuildLineSettings("baud=115200 parity=N data=8 stop=1", s));
    EXPECT_EQ(s.baudRate, 115200u);
    EXPECT_EQ(s.parity, 'N');
    EXPECT_EQ(s.dataBits, 8);
    EXPECT_EQ(s.stopBits, StopBits::kOne);
    EXPECT_EQ(s.evtChar, 'q');  // not named by the text: kept
    // Flow control and modem lines the text leaves out take their defaults.
    EXPECT_EQ(s.rtsControl, RtsControl::kEnable);
    EXPECT_FALSE(s.outX);

    ASSERT_TRUE(BuildLineSettings("COM3: baud=300 parity=o data=7 stop=2 rts=off xon=on", s));
    EXPECT_EQ(s.baudRate, 300u);
    EXPECT_EQ(s.parity, 'O');
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.stopBits, StopBits::kTwo);
    EXPECT_EQ(s.rtsControl, RtsControl::kDisable);
    EXPECT_TRUE(s.outX && s.inX);
}

TEST(LineDefinition, LegacyFormAndBadTexts) {
    LineSettings s;
    ASSERT_TRUE(BuildLineSettings("96,e,7,1.5", s));
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_EQ(s.parity, 'E');
    EXPECT_EQ(s.stopBits, StopBits::kOneAndHalf);

    const LineSettings before = s;
    for (const char* bad : {"baud=fast", "parity=X", "data=9", "stop=3", "colour=red",
                            "baud=9600 parity", "96,n,8,1,z", "96,q"}) {
        SetLastError(0);
        EXPECT_FALSE(BuildLineSettings(bad, s)) << bad;
        EXPECT_NE(LastError(), 0) << bad;
        EXPECT_EQ(s.baudRate, before.baudRate) << bad;
        EXPECT_EQ(s.parity, before.parity) << bad;
    }
}

TEST(SysError, TextOrNumber) {
    EXPECT_FALSE(ErrorText(2).empty());
    EXPECT_EQ(ErrorText(2).find("error 2"), std::string::npos);
    EXPECT_EQ(ErrorText(987654), "error 987654");
    std::thread other([] { SetLastError(77); });
    SetLastError(5);
    other.join();
    EXPECT_EQ(LastError(), 5);  // per thread
}

TEST(HeadlessWindow, SendRunsOnTheUiThreadAndFailsOnceDestroyed) {
    HeadlessWindow window;
    test::Recorder recorder;
    window.SetTarget(&recorder);
    std::thread::id uiThread;
    window.Run([&] { uiThread = std::this_thread::get_id(); });
    std::thread::id handledOn;
    recorder.SetHook([&](const test::Message&) { handledOn = std::this_thread::get_id(); });

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
    test::Recorder recorder;
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
    test::Recorder recorder;
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
}  // namespace plk::platform

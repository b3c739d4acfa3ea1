// The socket layer against plain loopback clients.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "platform/event.h"
#include "support/loopback_client.h"

namespace plk::platform {
namespace {

using test::LoopbackClient;

constexpr int kTimeout = 5000;

Socket ListenAnywhere() {
    Socket listener = Socket::CreateTcp();
    EXPECT_TRUE(listener.valid());
    EXPECT_TRUE(listener.BindLoopback(0));
    EXPECT_TRUE(listener.Listen(20));
    EXPECT_NE(listener.LocalPort(), 0);
    return listener;
}

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Socket, AcceptReceiveSendAndAnOrderlyEnd) {
    Event stop;
    Socket listener = ListenAnywhere();
    LoopbackClient client(listener.LocalPort());
    ASSERT_TRUE(client.connected());
    Socket peer;
    ASSERT_EQ(listener.Accept(peer, stop.waitable(), kTimeout), NetStatus::kOk);
    ASSERT_TRUE(client.Send("hello"));
    std::array<uint8_t, 16> buffer{};
    std::size_t got = 0;
    ASSERT_EQ(peer.Receive(buffer, got, stop.waitable(), kTimeout), NetStatus::kOk);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), got), "hello");
    EXPECT_EQ(peer.SendAll(Bytes("answer"), stop.waitable(), kTimeout), NetStatus::kOk);
    EXPECT_TRUE(peer.ShutdownSend());
    const test::Reply reply = client.ReadToEnd(kTimeout);
    EXPECT_EQ(reply.data, "answer");
    EXPECT_EQ(reply.end, test::StreamEnd::kOrderly);
}

TEST(Socket, WaitsEndOnTimeOrOnTheStopSignal) {
    Event stop;
    Socket listener = ListenAnywhere();
    Socket peer;
    EXPECT_EQ(listener.Accept(peer, stop.waitable(), 20), NetStatus::kTimeout);
    EXPECT_FALSE(peer.valid());

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop.Set();
    });
    EXPECT_EQ(listener.Accept(peer, stop.waitable()), NetStatus::kStopped);
    stopper.join();

    // The stop signal wins over a socket that is ready as well.
    LoopbackClient client(listener.LocalPort());
    ASSERT_TRUE(client.Send("x"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(listener.Accept(peer, stop.waitable(), kTimeout), NetStatus::kStopped);
    stop.Reset();
    ASSERT_EQ(listener.Accept(peer, stop.waitable(), kTimeout), NetStatus::kOk);
    std::array<uint8_t, 4> buffer{};
    std::size_t got = 0;
    stop.Set();
    EXPECT_EQ(peer.Receive(buffer, got, stop.waitable(), kTimeout), NetStatus::kStopped);
    stop.Reset();
    ASSERT_EQ(peer.Receive(buffer, got, stop.waitable(), kTimeout), NetStatus::kOk);
    EXPECT_EQ(peer.Receive(buffer, got, stop.waitable(), 20), NetStatus::kTimeout);
    client.Abort();
    EXPECT_EQ(peer.Receive(buffer, got, stop.waitable(), kTimeout), NetStatus::kFailed);
}

TEST(Socket, ALargeAnswerGoesOutWholeAcrossPartialSends) {
    Event stop;
    Socket listener = ListenAnywhere();
    LoopbackClient client(listener.LocalPort());
    Socket peer;
    ASSERT_EQ(listener.Accept(peer, stop.waitable(), kTimeout), NetStatus::kOk);
    std::string big(8 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    test::Reply reply;
    std::thread reader([&] { reply = client.ReadToEnd(20000); });
    EXPECT_EQ(peer.SendAll(Bytes(big), stop.waitable(), 20000), NetStatus::kOk);
    peer.ShutdownSend();
    reader.join();
    EXPECT_EQ(reply.end, test::StreamEnd::kOrderly);
    EXPECT_TRUE(reply.data == big) << reply.data.size();
}

TEST(Socket, APeerThatDoesNotReadOnlyDelaysTheSenderBriefly) {
    Event stop;
    Socket listener = ListenAnywhere();
    LoopbackClient client(listener.LocalPort());
    Socket peer;
    ASSERT_EQ(listener.Accept(peer, stop.waitable(), kTimeout), NetStatus::kOk);
    const std::string big(32 << 20, 'x');
    EXPECT_EQ(peer.SendAll(Bytes(big), stop.waitable(), 100), NetStatus::kTimeout);
}

TEST(Socket, APeerThatHasGoneAwayFailsTheSendWithoutASignal) {
    Event stop;
    Socket listener = ListenAnywhere();
    Socket peer;
    {
        LoopbackClient client(listener.LocalPort());
        ASSERT_EQ(listener.Accept(peer, stop.waitable(), kTimeout), NetStatus::kOk);
        client.Abort();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The first send learns of the reset; the ones after it write to a closed
    // connection, which would raise SIGPIPE and end the process.
    EXPECT_EQ(peer.SendAll(Bytes("one"), stop.waitable(), kTimeout), NetStatus::kFailed);
    EXPECT_EQ(peer.SendAll(Bytes("two"), stop.waitable(), kTimeout), NetStatus::kFailed);
    EXPECT_EQ(peer.SendAll(Bytes("three"), stop.waitable(), kTimeout), NetStatus::kFailed);
}

TEST(Socket, APortInTimeWaitIsFreeForANewListenerButALiveListenerKeepsIt) {
    Event stop;
    uint16_t port = 0;
    {
        Socket listener = ListenAnywhere();
        port = listener.LocalPort();
        LoopbackClient client(port);
        Socket peer;
        ASSERT_EQ(listener.Accept(peer, stop.waitable(), kTimeout), NetStatus::kOk);
        // Our side ends first, so our side is left in TIME_WAIT.
        peer.ShutdownSend();
        EXPECT_EQ(client.ReadToEnd(kTimeout).end, test::StreamEnd::kOrderly);
    }
    Socket again = Socket::CreateTcp();
    EXPECT_TRUE(again.BindLoopback(port));
    ASSERT_TRUE(again.Listen(20));

    Socket rival = Socket::CreateTcp();
    EXPECT_FALSE(rival.BindLoopback(port));
}

}  // namespace
}  // namespace plk::platform

// What the socket layer promises beyond what the server's tests show: answers
// go out whole or are given up in bounded time, and a vanished peer raises no signal.
#include "platform/net/socket.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/sys/event.h"
#include "support/loopback_client.h"
#include "support/wait.h"

namespace plk::platform {
namespace {

using test::kTimeout, test::LoopbackClient;

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
    // A read learns of the reset; the sends after it write to a closed
    // connection, which would raise SIGPIPE and end the process.
    uint8_t byte = 0;
    std::size_t got = 0;
    ASSERT_EQ(peer.Receive({&byte, 1}, got, stop.waitable(), kTimeout, true), NetStatus::kFailed);
    EXPECT_EQ(peer.SendAll(Bytes("one"), stop.waitable(), kTimeout), NetStatus::kFailed);
    EXPECT_EQ(peer.SendAll(Bytes("two"), stop.waitable(), kTimeout), NetStatus::kFailed);
    EXPECT_EQ(peer.SendAll(Bytes("three"), stop.waitable(), kTimeout), NetStatus::kFailed);
}

}  // namespace
}  // namespace plk::platform

// The Winsock sockets on real loopback connections: the waits the bridge
// relies on (bounded, and cut short by the stop signal), exclusive binding and
// an orderly end of stream. The client side is plain Winsock.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/net/socket.h"
#include "platform/sys/event.h"
#include "platform/sys/sys_error.h"
#include "platform/sys/win32.h"

namespace plk::platform {
namespace {

using Clock = std::chrono::steady_clock;

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SocketLibraryStartup());
        listener_ = Socket::CreateTcp();
        ASSERT_TRUE(listener_.valid());
        ASSERT_TRUE(listener_.BindLoopback(0));
        ASSERT_TRUE(listener_.Listen(20));
        port_ = listener_.LocalPort();
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        if (client_ != INVALID_SOCKET) {
            ::closesocket(client_);
        }
        listener_.Close();
        SocketLibraryCleanup();
    }

    // A blocking client connected to the listener, and the server's end.
    void Connect(Socket& server) {
        client_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(client_, INVALID_SOCKET);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = ::htons(port_);
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listener_.Accept(server, stop_.waitable(), 2000), NetStatus::kOk);
    }

    std::string ClientReadsToEnd() {
        std::string got;
        char buffer[4096];
        for (;;) {
            const int n = ::recv(client_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return n == 0 ? got : got + "<error>";
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }

    Socket listener_;
    uint16_t port_ = 0;
    SOCKET client_ = INVALID_SOCKET;
    Event stop_;
};

TEST_F(WinsockTest, WaitsEndOnTheirLimitOrAtOnceOnStop) {
    Socket server;
    const auto started = Clock::now();
    EXPECT_EQ(listener_.Accept(server, stop_.waitable(), 150), NetStatus::kTimeout);
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(140));

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop_.Set();
    });
    EXPECT_EQ(listener_.Accept(server, stop_.waitable(), 10000), NetStatus::kStopped);
    stopper.join();
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));

    // The stop signal wins over a socket that is ready already.
    stop_.Reset();
    Connect(server);
    ::send(client_, "GET", 3, 0);
    stop_.Set();
    uint8_t buffer[16];
    std::size_t received = 0;
    EXPECT_EQ(server.Receive(buffer, received, stop_.waitable(), 1000), NetStatus::kStopped);
    EXPECT_EQ(received, 0u);
}

TEST_F(WinsockTest, ARequestAndAnAnswerThenAnOrderlyEnd) {
    Socket server;
    Connect(server);
    uint8_t buffer[512];
    std::size_t received = 0;
    EXPECT_EQ(server.Receive(buffer, received, stop_.waitable(), 200), NetStatus::kTimeout);
    const std::string request = "GET /abc HTTP/1.1\r\n\r\n";
    ASSERT_EQ(::send(client_, request.data(), static_cast<int>(request.size()), 0),
              static_cast<int>(request.size()));
    ASSERT_EQ(server.Receive(buffer, received, stop_.waitable(), 2000), NetStatus::kOk);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), received), request);

    // Larger than the socket buffers: goes out in pieces, and whole.
    std::string answer(1 << 20, 'x');
    answer.replace(0, 8, "HTTP/1.1");
    std::string got;
    std::thread reader([&] { got = ClientReadsToEnd(); });
    EXPECT_EQ(server.SendAll({reinterpret_cast<const uint8_t*>(answer.data()), answer.size()},
                             stop_.waitable(), 5000),
              NetStatus::kOk);
    EXPECT_TRUE(server.ShutdownSend());
    reader.join();
    EXPECT_EQ(got.size(), answer.size());
    EXPECT_EQ(got, answer);

    ::closesocket(client_);
    client_ = INVALID_SOCKET;
    EXPECT_EQ(server.Receive(buffer, received, stop_.waitable(), 2000), NetStatus::kClosed);
}

TEST_F(WinsockTest, APortInUseCannotBeTakenOver) {
    Socket second = Socket::CreateTcp();
    ASSERT_TRUE(second.valid());
    EXPECT_FALSE(second.BindLoopback(port_));
    EXPECT_EQ(LastError(), WSAEADDRINUSE);
}

}  // namespace
}  // namespace plk::platform

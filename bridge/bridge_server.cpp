#include "bridge/bridge_server.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "bridge/mailbox.h"
#include "bridge/request.h"
#include "platform/net/socket.h"
#include "platform/sys/sys_error.h"

namespace plk {

namespace {

using platform::NetStatus;
using platform::Socket;
using Clock = std::chrono::steady_clock;

// The dialog's status texts. The same identifiers as the dialog's own; they are
// repeated here so that the bridge does not depend on the application.
constexpr int IDC_TXT_PORTINFO = 1004;
constexpr int IDC_TXT_LINKSTATE = 1005;

constexpr const char* kBindFailedText = "打开端口失败,请检查12345端口是否被占用";
constexpr const char* kListeningText = "打开端口成功";
constexpr const char* kConnectedText = "已连接";

constexpr int kBacklog = 20;
// A client gets this long to send the first bytes of its request, and as long
// again for the rest of its head, so that one that sends nothing (a browser's
// pre-connected socket) cannot hold up everyone else.
constexpr int kFirstBytesWaitMs = 1000;
constexpr int kHeadRestWaitMs = 1000;
// The most of a request head read (and thrown away) before the connection ends.
constexpr std::size_t kHeadLimit = 8 * 1024;
// A client that does not read its answer gives it up after this long.
constexpr int kSendWaitMs = 1000;
// After our end of stream, how long the client may take to end its own.
constexpr int kCloseWaitMs = 200;
// The pause after a failed accept, so that one that keeps failing cannot spin.
constexpr int kAcceptRetryPauseMs = 100;

void Print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int RemainingMs(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    return left <= Clock::duration::zero()
               ? 0
               : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// One connection's exchange, after the request's first bytes were read.
class Connection {
public:
    Connection(Socket& client, platform::Waitable stop) : client_(client), stop_(stop) {}

    // Reads and throws away the rest of the request head: closing on unread
    // bytes would reset the connection, and the client would lose its answer.
    // False when the server was stopped meanwhile.
    bool DiscardRestOfHead(HeadEndScanner& scanner, std::size_t readSoFar,
                           Clock::time_point deadline) {
        std::array<uint8_t, 1024> scratch;
        while (!scanner.done() && readSoFar < kHeadLimit) {
            const std::size_t room = std::min(scratch.size(), kHeadLimit - readSoFar);
            std::size_t got = 0;
            const NetStatus status =
                client_.Receive(std::span(scratch.data(), room), got, stop_, RemainingMs(deadline));
            if (status == NetStatus::kStopped) {
                return false;
            }
            if (status != NetStatus::kOk) {
                break;
            }
            readSoFar += got;
            scanner.Feed(std::span(scratch.data(), got));
        }
        return true;
    }

    // Ends the connection so that the client sees an orderly end of stream:
    // our side ends first, then whatever still arrives is read until the client
    // ends its side too, for a short while at most.
    bool CloseOrderly() {
        if (!client_.ShutdownSend()) {
            return true;
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kCloseWaitMs);
        std::array<uint8_t, 1024> scratch;
        // The client ends its side only once it has seen ours: nothing is
        // there to take yet.
        for (bool first = true;; first = false) {
            std::size_t got = 0;
            const NetStatus status =
                client_.Receive(scratch, got, stop_, RemainingMs(deadline), first);
            if (status == NetStatus::kStopped) {
                return false;
            }
            // A client that keeps sending is cut off all the same.
            if (status != NetStatus::kOk || Clock::now() >= deadline) {
                return true;
            }
        }
    }

private:
    Socket& client_;
    platform::Waitable stop_;
};

}  // namespace

BridgeServer::BridgeServer(platform::Window& window, CSerialLink& link, uint16_t port)
    : window_(window), link_(link), port_(port) {}

BridgeServer::~BridgeServer() {
    Stop();
}

void BridgeServer::Start() {
    if (thread_.joinable()) {
        return;
    }
    stop_.Reset();
    serving_.Reset();
    ended_.Reset();
    try {
        thread_ = std::thread([this] {
            BridgeServerProc(this);
            ended_.Set();
        });
    } catch (const std::system_error&) {
        // No thread to be had: the endpoint stays off, as when it cannot listen.
        Print("Error  at  thread start\n");
        ended_.Set();
    }
}

void BridgeServer::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    stop_.Set();
    // The thread may be inside a synchronous status text to this very thread.
    window_.WaitServingSends(ended_);
    thread_.join();
}

unsigned BridgeServerProc(BridgeServer* server) {
    platform::Window& window = server->window_;
    CSerialLink& link = server->link_;
    const platform::Waitable stop = server->stop_.waitable();

    std::array<uint8_t, kResponseSize> response{};
    std::array<uint8_t, 2 * kRequestReadSize> request{};
    std::array<uint8_t, kCommandStageSize> stage{};

    const bool library = platform::SocketLibraryStartup();
    if (!library) {
        Print("Error  at  WSAStartup()\n");
    }
    struct LibraryGuard {
        bool held;
        ~LibraryGuard() {
            if (held) {
                platform::SocketLibraryCleanup();
            }
        }
    } libraryGuard{library};

    Socket listener = Socket::CreateTcp();
    if (!listener.valid()) {
        std::printf("Error  at  socket():%ld\n", static_cast<long>(platform::LastError()));
        std::fflush(stdout);
        return 0;
    }
    if (!listener.BindLoopback(server->port_)) {
        Print("bind()  failed.\n");
        window.SetItemText(IDC_TXT_PORTINFO, kBindFailedText);
        return 0;
    }
    window.SetItemText(IDC_TXT_PORTINFO, kListeningText);
    Print(listener.Listen(kBacklog) ? "listening  ok.\n" : "Error  listening  on  socket.\n");
    Print("Waiting  for  a  client  to  connect...\n");
    server->serving_.Set();

    for (;;) {
        Socket client;
        const NetStatus accepted = listener.Accept(client, stop);
        if (accepted == NetStatus::kStopped) {
            return 0;
        }
        if (accepted != NetStatus::kOk) {
            const platform::Waitable pause[] = {stop};
            if (platform::WaitAny(pause, kAcceptRetryPauseMs) == 0) {
                return 0;
            }
            continue;
        }

        std::fill_n(request.begin(), kRequestReadSize, uint8_t{0});
        std::size_t received = 0;
        const NetStatus read = client.Receive(std::span(request.data(), kRequestReadSize), received,
                                              stop, kFirstBytesWaitMs);
        if (read == NetStatus::kStopped) {
            return 0;
        }
        if (read != NetStatus::kOk) {
            continue;  // nothing came: there is nothing to answer or to protect
        }
        const Clock::time_point headDeadline =
            Clock::now() + std::chrono::milliseconds(kHeadRestWaitMs);
        const std::span<const uint8_t> bytes(request.data(), received);
        const std::string_view text = RequestText(bytes);

        response.fill(0);
        switch (Classify(text)) {
            case RequestKind::kPolicy: {
                const std::size_t length = ComposePolicyAnswer(response);
                client.SendAll(std::span(response.data(), length), stop, kSendWaitMs);
                break;
            }
            case RequestKind::kPoll:
                MailboxTake([&](std::string_view line) {
                    const std::size_t length = ComposePollAnswer(line, response);
                    client.SendAll(std::span(response.data(), length), stop, kSendWaitMs);
                    window.SetItemText(IDC_TXT_LINKSTATE, kConnectedText);
                });
                break;
            case RequestKind::kCommand: {
                stage.fill(0);
                const std::size_t length = StageCommand(*CutCommand(text), stage);
                // The link holds one request: the one before this must have
                // been taken first, or this one would replace it. A port that
                // takes nothing holds the server up for the write time-out at most.
                if (length != 0) {
                    if (!link.WaitWriteTaken(stop)) {
                        return 0;
                    }
                    link.QueueWrite(stage.data(), static_cast<uint32_t>(length));
                }
                break;
            }
            case RequestKind::kNone:
                break;
        }

        Connection connection(client, stop);
        HeadEndScanner scanner;
        scanner.Feed(bytes);
        if (!connection.DiscardRestOfHead(scanner, received, headDeadline) ||
            !connection.CloseOrderly()) {
            return 0;
        }
    }
}

}  // namespace plk

#include "bridge/bridge_server.h"

#include <array>
#include <cstdio>
#include <system_error>

#include "bridge/mailbox.h"
#include "bridge/request.h"
#include "platform/net/socket.h"
#include "platform/sys/deadline.h"
#include "platform/sys/sys_error.h"

namespace plk {

namespace {

using platform::Deadline;
using platform::NetStatus;
using platform::Socket;

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
// After our end of stream, how long the client may take to end its own, and
// to acknowledge an answer that carried a line.
constexpr int kCloseWaitMs = 200;
// How often the acknowledgement of a line is looked for meanwhile.
constexpr int kDeliveryPollMs = 1;
// The pause after a failed accept, so that one that keeps failing cannot spin.
constexpr int kAcceptRetryPauseMs = 100;

void Print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// How a connection ended, as far as its client is concerned.
enum class Ending {
    kDelivered,  // everything sent reached the client (as far as the system tells)
    kLost,       // the client was gone: it reset the connection, or took nothing
    kStopped,    // the server was stopped meanwhile
};

// One connection's exchange, after the request's first bytes were read.
class Connection {
public:
    Connection(Socket& client, platform::Waitable stop, std::span<const uint8_t> firstBytes)
        : client_(client), stop_(stop), readSoFar_(firstBytes.size()) {
        scanner_.Feed(firstBytes);
    }

    // Ends the exchange: the rest of the request head is read away, then the
    // stream is ended in order. With `verify`, waits to learn whether what was
    // sent reached a client still there.
    Ending Finish(const Deadline& headDeadline, bool verify) {
        if (!DiscardRestOfHead(headDeadline)) {
            return Ending::kStopped;
        }
        return CloseOrderly(verify);
    }

private:
    // Reads and throws away the rest of the request head: closing on unread
    // bytes would reset the connection, and the client would lose its answer.
    // False when the server was stopped meanwhile.
    bool DiscardRestOfHead(const Deadline& deadline) {
        std::array<uint8_t, 1024> scratch;
        while (!scanner_.done() && readSoFar_ < kHeadLimit) {
            const std::size_t room = std::min(scratch.size(), kHeadLimit - readSoFar_);
            std::size_t got = 0;
            const NetStatus status = client_.Receive(std::span(scratch.data(), room), got, stop_,
                                                     deadline.RemainingMs());
            if (status == NetStatus::kStopped) {
                return false;
            }
            if (status != NetStatus::kOk) {
                break;
            }
            readSoFar_ += got;
            scanner_.Feed(std::span(scratch.data(), got));
        }
        return true;
    }

    // Our side ends first, then whatever still arrives is read until the
    // client ends its side too, for a short while at most. A client that had
    // gone away answers what we sent with a reset, which tells it from one
    // that merely ended its side after its request (raw tools do).
    Ending CloseOrderly(bool verify) {
        if (!client_.ShutdownSend()) {
            return verify ? Reached() : Ending::kDelivered;
        }
        const Deadline deadline(kCloseWaitMs);
        std::array<uint8_t, 1024> scratch;
        bool ended = false;
        // The client ends its side only once it has seen ours: nothing is
        // there to take yet.
        for (bool first = true;; first = false) {
            std::size_t got = 0;
            const NetStatus status =
                client_.Receive(scratch, got, stop_, deadline.RemainingMs(), first);
            if (status == NetStatus::kStopped) {
                return Ending::kStopped;
            }
            if (status == NetStatus::kFailed) {
                return Ending::kLost;  // reset: the client did not take it all
            }
            ended = status == NetStatus::kClosed;
            // A client that keeps sending is cut off all the same.
            if (status != NetStatus::kOk || deadline.Expired()) {
                break;
            }
        }
        if (!verify) {
            return Ending::kDelivered;
        }
        if (!ended) {
            return Reached();
        }
        // Its end may have come before what we sent did (a page that gave up
        // while its request queued): then the reset is on its way, and only
        // the acknowledgement of everything we sent says otherwise. A client
        // that ends after us acknowledges with its end, at once.
        const platform::Waitable stopOnly[] = {stop_};
        for (;;) {
            switch (client_.Delivery()) {
                case NetStatus::kOk:
                    return Ending::kDelivered;
                case NetStatus::kFailed:
                    return Ending::kLost;
                default:
                    break;
            }
            if (deadline.Expired()) {
                return Ending::kLost;
            }
            if (platform::WaitAny(stopOnly, kDeliveryPollMs) == 0) {
                return Ending::kStopped;
            }
        }
    }

    // Delivered unless the system has seen a reset.
    Ending Reached() const {
        return client_.Delivery() == NetStatus::kFailed ? Ending::kLost : Ending::kDelivered;
    }

    Socket& client_;
    platform::Waitable stop_;
    HeadEndScanner scanner_;
    std::size_t readSoFar_;
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
        const Deadline headDeadline(kHeadRestWaitMs);
        const std::span<const uint8_t> bytes(request.data(), received);
        const std::string_view text = RequestText(bytes);

        Connection connection(client, stop, bytes);
        bool finished = false;
        response.fill(0);
        switch (Classify(text)) {
            case RequestKind::kPolicy: {
                const std::size_t length = ComposePolicyAnswer(response);
                client.SendAll(std::span(response.data(), length), stop, kSendWaitMs);
                break;
            }
            case RequestKind::kPoll: {
                // The line leaves the mailbox only once it has reached a page
                // that is still there; otherwise it waits for the next poll.
                Ending ending = Ending::kDelivered;
                MailboxTake([&](std::string_view line) {
                    const std::size_t length = ComposePollAnswer(line, response);
                    const NetStatus sent =
                        client.SendAll(std::span(response.data(), length), stop, kSendWaitMs);
                    ending = connection.Finish(headDeadline, true);
                    finished = true;
                    // A stop cuts the wait short: without a reset, the line
                    // went to the client.
                    const bool delivered =
                        sent == NetStatus::kOk &&
                        (ending == Ending::kDelivered ||
                         (ending == Ending::kStopped && client.Delivery() != NetStatus::kFailed));
                    if (!delivered) {
                        return false;
                    }
                    window.SetItemText(IDC_TXT_LINKSTATE, kConnectedText);
                    return true;
                });
                if (ending == Ending::kStopped) {
                    return 0;
                }
                break;
            }
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

        if (!finished && connection.Finish(headDeadline, false) == Ending::kStopped) {
            return 0;
        }
    }
}

}  // namespace plk

// The bridge server end to end: real loopback clients as the browser, the
// serial link with a pseudo-terminal board, the headless window as the dialog.
#include "bridge/bridge_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/bridge_dlg.h"
#include "bridge/mailbox.h"
#include "bridge/request.h"
#include "platform/net/socket.h"
#include "platform/sys/deadline.h"
#include "serial/serial_link.h"
#include "support/loopback_client.h"
#include "support/pty_board.h"
#include "support/wait.h"
#include "support/window_headless.h"

namespace plk {
namespace {

using test::Exchange;
using test::HeadlessWindow;
using test::kTimeout, test::WaitSet, test::WaitUntil;
using test::LoopbackClient;
using test::Reply;
using test::StreamEnd;

constexpr const char* kListening = "打开端口成功";
constexpr const char* kBindFailed = "打开端口失败,请检查12345端口是否被占用";
constexpr const char* kConnected = "已连接";

const std::string kHeader(g_httpHeader);
const std::string kPolicy = kHeader + std::string(g_policyXml);

std::string Get(const std::string& target, const std::string& fields = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields + "\r\n";
}

bool LineWaits() {
    return g_rxLineReady.load(std::memory_order_acquire) == 1;
}
bool LineTaken() {
    return !LineWaits();
}

// The dialog's part in this: every byte from the board goes to the mailbox.
class PortCharTarget final : public platform::MessageTarget {
public:
    platform::LResult WindowProc(uint32_t message, platform::WParam wParam,
                                 platform::LParam) override {
        if (message == WM_PORT_CHAR) {
            MailboxPutByte(static_cast<uint8_t>(wParam));
        } else if (message == WM_PORT_DISCARD) {
            MailboxDiscarded(wParam != 0);
        }
        return 0;
    }
};

class BridgeServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        MailboxClear();
        dev_.Link("ttyUSB0", board_.slavePath());
        window_.SetTarget(&target_);
        int opened = 0;
        window_.Run([&] {
            opened = link_->OpenPort(&window_, 33, 115200, 'N', 8, 1, 3, 512);
            link_->StartMonitor();
        });
        ASSERT_EQ(opened, 1);
        // The monitor purges the port as it starts.
        ASSERT_TRUE(WaitSet(link_->MonitorListening()));
        port_ = test::FreeLoopbackPort();
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        // As the dialog goes: the server first, then the link.
        window_.Run([&] {
            server_.reset();
            link_.reset();
        });
        MailboxClear();
    }

    // Starts a server on port_ and waits until it listens.
    void StartServer() {
        window_.Run([&] {
            server_ = std::make_unique<BridgeServer>(window_, *link_, port_);
            server_->Start();
        });
        ASSERT_TRUE(WaitSet(server_->Serving()));
    }
    void StopServer() {
        window_.Run([&] { server_.reset(); });
    }
    // The board says `line` once the mailbox is free (a poll gives it back only
    // once its page has ended the exchange); returns once the mailbox holds it.
    void BoardSays(const std::string& line) {
        ASSERT_TRUE(WaitUntil(LineTaken));
        board_.Send(line);
        ASSERT_TRUE(WaitUntil(LineWaits));
    }
    bool MailboxIsClear() {
        return std::all_of(g_rxLine.begin(), g_rxLine.end(), [](uint8_t b) { return b == 0; });
    }

    test::FakeDevRoot dev_;
    test::PtyBoard board_;
    PortCharTarget target_;
    HeadlessWindow window_;
    std::unique_ptr<CSerialLink> link_ = std::make_unique<CSerialLink>(dev_.Opener());
    std::unique_ptr<BridgeServer> server_;
    uint16_t port_ = 0;
};

TEST_F(BridgeServerTest, StartUpSetsThePortTextAndPrintsItsDiagnostics) {
    window_.Run([&] { window_.SetItemText(IDC_TXT_PORTINFO, "COM33"); });
    testing::internal::CaptureStdout();
    StartServer();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "listening  ok.\nWaiting  for  a  client  to  connect...\n");
    EXPECT_EQ(window_.ItemText(IDC_TXT_PORTINFO), kListening);
    EXPECT_FALSE(server_->Ended().IsSet());
}

TEST_F(BridgeServerTest, CommandsReachTheBoardAndGetNoAnswer) {
    StartServer();
    const Reply reply = Exchange(port_, Get("/abc", "Accept: */*\r\nConnection: keep-alive\r\n"));
    EXPECT_EQ(reply.data, "");
    EXPECT_EQ(reply.end, StreamEnd::kOrderly);
    EXPECT_EQ(board_.Receive(5, kTimeout), "/abc\n");

    const std::pair<std::string, std::string> cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", "/\n"},
        {"POST /GET HTTP/1.1\r\n\r\n", "HTTP/\n"},
        {"GET HTTP/1.1\r\n\r\n", "HTTP/1.1\r\n\r\n\n"},
        {"GET /HTTPx HTTP/1.1\r\n\r\n", "\n"},
        {Get("/q?led=on&v=%20"), "/q?led=on&v=%20\n"},
    };
    for (const auto& [request, queued] : cases) {
        EXPECT_EQ(Exchange(port_, request).end, StreamEnd::kOrderly);
        EXPECT_EQ(board_.Receive(queued.size(), kTimeout), queued) << request;
    }
    // None of these is a command.
    for (const char* request : {"POST /x HTTP/1.1\r\nX: GET\r\n\r\n", "GET /abc\r\n\r\n",
                                "get /abc http/1.1\r\n\r\n", "GET /poll_led HTTP/1.1\r\n\r\n"}) {
        EXPECT_EQ(Exchange(port_, request).data, "");
    }
    // A client that closes without a word.
    { LoopbackClient silent(port_); }
    EXPECT_EQ(board_.Drain(100), "");
}

TEST_F(BridgeServerTest, LongCommandsArriveWholeUpToTheLongestARequestCanCarry) {
    StartServer();
    for (const std::size_t length : {98u, 99u, 300u}) {
        const std::string target =
            "/" + std::string(length - 1, static_cast<char>('a' + length % 26));
        Exchange(port_, Get(target));
        EXPECT_EQ(board_.Receive(length + 1, kTimeout), target + "\n");
    }
    // The longest target a 512-byte read can carry.
    const std::string longest = "/" + std::string(502, 'z');
    const std::string request = "GET " + longest + " HTTP";
    ASSERT_EQ(request.size(), 512u);
    Exchange(port_, request + "/1.1\r\n\r\n");
    EXPECT_EQ(board_.Receive(504, kTimeout), longest + "\n");
    EXPECT_EQ(board_.Drain(100), "");
}

TEST_F(BridgeServerTest, PollsTakeTheWaitingLineOnce) {
    StartServer();
    window_.Run([&] { window_.SetItemText(IDC_TXT_LINKSTATE, "before"); });
    Reply reply = Exchange(port_, Get("/poll"));
    EXPECT_EQ(reply.data, "");
    EXPECT_EQ(reply.end, StreamEnd::kOrderly);
    EXPECT_EQ(window_.ItemText(IDC_TXT_LINKSTATE), "before");

    BoardSays("ok&done\n");
    reply = Exchange(port_, Get("/poll"));
    EXPECT_EQ(reply.data.size(), 105u);
    EXPECT_EQ(reply.data, kHeader + "ok\ndone\r\n");
    EXPECT_EQ(reply.end, StreamEnd::kOrderly);
    EXPECT_TRUE(WaitUntil(LineTaken));
    EXPECT_EQ(window_.ItemText(IDC_TXT_LINKSTATE), kConnected);
    EXPECT_TRUE(MailboxIsClear());
    EXPECT_EQ(Exchange(port_, Get("/poll")).data, "");

    BoardSays("\n");
    EXPECT_EQ(Exchange(port_, Get("/poll?t=1")).data, kHeader + "\r\n");

    // A zero byte ends the line as it is taken.
    BoardSays(std::string("ab\0cd\n", 6));
    EXPECT_EQ(Exchange(port_, Get("/poll")).data, kHeader + "ab\r\n");
    EXPECT_TRUE(WaitUntil(LineTaken));
    EXPECT_TRUE(MailboxIsClear());
    EXPECT_EQ(board_.Drain(100), "");  // no poll ever reached the board
}

// A poll that waited in the queue behind a connection that sends nothing, and
// whose page gave up meanwhile (a fetch time-out, a reload): its line goes to
// the next poll instead of into a dead connection. A client that only ended
// its sending side after its request is still there and gets the line.
TEST_F(BridgeServerTest, ALineGoesOnlyToAPageThatIsStillThere) {
    StartServer();
    enum class GaveUp { kClosed, kReset, kNo };
    for (const GaveUp gaveUp : {GaveUp::kClosed, GaveUp::kReset, GaveUp::kNo}) {
        SCOPED_TRACE(static_cast<int>(gaveUp));
        BoardSays("for a page\n");
        LoopbackClient idle(port_);  // holds the server for its first-bytes wait
        LoopbackClient poll(port_);
        ASSERT_TRUE(poll.Send(Get("/poll")));
        switch (gaveUp) {
            case GaveUp::kClosed:
                poll.Close();
                break;
            case GaveUp::kReset:
                poll.Abort();
                break;
            case GaveUp::kNo:
                poll.ShutdownSend();
                EXPECT_EQ(poll.ReadToEnd(kTimeout).data, kHeader + "for a page\r\n");
                break;
        }
        idle.Close();
        if (gaveUp != GaveUp::kNo) {
            EXPECT_EQ(Exchange(port_, Get("/poll")).data, kHeader + "for a page\r\n");
        }
        EXPECT_TRUE(WaitUntil(LineTaken));
        EXPECT_EQ(Exchange(port_, Get("/poll")).data, "");
    }
}

TEST_F(BridgeServerTest, PolicyRequestsGetThePolicyAndLeaveTheMailboxAlone) {
    StartServer();
    Reply reply = Exchange(port_, Get("/crossdomain.xml"));
    EXPECT_EQ(reply.data.size(), 187u);
    EXPECT_EQ(reply.data, kPolicy);
    EXPECT_EQ(reply.end, StreamEnd::kOrderly);

    BoardSays("waiting\n");
    EXPECT_EQ(Exchange(port_, Get("/crossdomain.xml?poll")).data, kPolicy);
    EXPECT_TRUE(LineWaits());
    EXPECT_EQ(Exchange(port_, Get("/poll")).data, kHeader + "waiting\r\n");
}

TEST_F(BridgeServerTest, PollAndPolicyInHeaderFieldsOnlyLeaveACommandACommand) {
    StartServer();
    BoardSays("for a poll\n");
    const std::string fields =
        "Origin: http://apollo-lab.example\r\n"
        "Referer: http://apollo-lab.example/poll.html?crossdomain.xml\r\n";
    EXPECT_EQ(Exchange(port_, Get("/abc", fields)).data, "");
    EXPECT_EQ(board_.Receive(5, kTimeout), "/abc\n");
    EXPECT_TRUE(LineWaits());  // the line is still there for a real poll
}

TEST_F(BridgeServerTest, RequestsLongerThanTheReadGetTheirWholeAnswerAndAnOrderlyEnd) {
    StartServer();
    // The size of a request from a page served over http.
    const std::string padding = "X-Pad: " + std::string(560, 'p') + "\r\n";
    const std::string poll = Get("/poll", padding);
    const std::string policy = Get("/crossdomain.xml", padding);
    ASSERT_GT(poll.size(), 600u);

    BoardSays("ok&done\n");
    Reply reply = Exchange(port_, poll);
    EXPECT_EQ(reply.data, kHeader + "ok\ndone\r\n");
    EXPECT_EQ(reply.end, StreamEnd::kOrderly);

    reply = Exchange(port_, policy);
    EXPECT_EQ(reply.data, kPolicy);
    EXPECT_EQ(reply.end, StreamEnd::kOrderly);

    // Heads sent in pieces, and bodies, are read away too.
    LoopbackClient pieces(port_);
    ASSERT_TRUE(pieces.Send(policy.substr(0, 300)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(pieces.Send(policy.substr(300)));
    reply = pieces.ReadToEnd(kTimeout);
    EXPECT_EQ(reply.data, kPolicy);
    EXPECT_EQ(reply.end, StreamEnd::kOrderly);

    reply = Exchange(port_, "POST /crossdomain.xml HTTP/1.1\r\nContent-Length: 900\r\n\r\n" +
                                std::string(900, 'b'));
    EXPECT_EQ(reply.data, kPolicy);
    EXPECT_EQ(reply.end, StreamEnd::kOrderly);
}

TEST_F(BridgeServerTest, AClientThatSendsNothingHoldsUpTheNextOneForAboutASecondAtMost) {
    StartServer();
    LoopbackClient idle(port_);
    ASSERT_TRUE(idle.connected());
    // One that starts a head and never ends it: its command still goes out.
    LoopbackClient unfinished(port_);
    ASSERT_TRUE(unfinished.Send("GET /first HTTP/1.1\r\nHost: x\r\n"));
    LoopbackClient next(port_);
    ASSERT_TRUE(next.Send(Get("/second")));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(board_.Receive(15, 8000), "/first\n/second\n");
    const auto waited = std::chrono::steady_clock::now() - start;
    // Without the limits this never comes: one second each, with room to spare.
    EXPECT_LT(waited, std::chrono::seconds(6));

    EXPECT_EQ(idle.ReadToEnd(kTimeout).end, StreamEnd::kOrderly);
    EXPECT_EQ(unfinished.ReadToEnd(kTimeout).end, StreamEnd::kOrderly);
    EXPECT_EQ(next.ReadToEnd(kTimeout).end, StreamEnd::kOrderly);
}

TEST_F(BridgeServerTest, AClientThatKeepsSendingIsCutOff) {
    StartServer();
    // Two threads keep one connection's stream full, so that the server never
    // finds it empty, long after its request and the server's answer.
    LoopbackClient client(port_);
    ASSERT_TRUE(client.Send(Get("/crossdomain.xml")));
    std::atomic<bool> flooding{true};
    auto flood = [&] {
        const std::string chunk(256 * 1024, 'f');
        while (flooding.load() && client.Send(chunk)) {
        }
    };
    std::thread one(flood), two(flood);
    Exchange(port_, Get("/next"));
    EXPECT_EQ(board_.Receive(6, kTimeout), "/next\n");
    flooding = false;
    one.join();
    two.join();
}

TEST_F(BridgeServerTest, AcceptThatKeepsFailingPausesInsteadOfSpinningAndServingResumes) {
    StartServer();
    // The client's socket is made first; then a descriptor limit right at the
    // lowest free descriptor makes every accept fail for want of one.
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit tight = before;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const std::string request = Get("/after");
    const bool sent = connected && send(client, request.data(), request.size(), MSG_NOSIGNAL) ==
                                       static_cast<ssize_t>(request.size());
    const std::clock_t cpuBefore = std::clock();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpuSeconds = static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    const std::string early = board_.Drain(0);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);

    ASSERT_TRUE(sent);
    EXPECT_EQ(early, "");  // nothing was accepted under the limit
    EXPECT_LT(cpuSeconds, 0.2);
    EXPECT_EQ(board_.Receive(7, kTimeout), "/after\n");
    close(client);
}

TEST_F(BridgeServerTest, AStoppedServerFreesItsPortAndARestartBindsAtOnce) {
    StartServer();
    // Served connections leave the server's side in TIME_WAIT.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Exchange(port_, Get("/crossdomain.xml")).data, kPolicy);
    }
    LoopbackClient idle(port_);  // the server is waiting for its first bytes
    ASSERT_TRUE(idle.connected());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    StopServer();
    EXPECT_EQ(idle.ReadToEnd(kTimeout).end, StreamEnd::kOrderly);

    window_.Run([&] { window_.SetItemText(IDC_TXT_PORTINFO, ""); });
    StartServer();
    EXPECT_FALSE(server_->Ended().IsSet());
    EXPECT_EQ(Exchange(port_, Get("/crossdomain.xml")).data, kPolicy);
    StopServer();
    platform::Socket after = platform::Socket::CreateTcp();
    EXPECT_TRUE(after.BindLoopback(port_));
    EXPECT_TRUE(after.Listen(1));
}

TEST_F(BridgeServerTest, StopOnTheWindowThreadWhileTheServerWaitsToSetATextDoesNotDeadlock) {
    StartServer();
    BoardSays("line\n");
    std::string answer;
    Reply rest;
    window_.Run([&] {
        // The window's thread is busy here, so the server, having sent its
        // answer, waits for this thread to set the link-state text.
        LoopbackClient client(port_);
        ASSERT_TRUE(client.Send(Get("/poll")));
        answer = client.Read(kHeader.size() + 6, kTimeout);
        server_->Stop();
        rest = client.ReadToEnd(kTimeout);
    });
    EXPECT_EQ(answer + rest.data, kHeader + "line\r\n");
    EXPECT_EQ(rest.end, StreamEnd::kOrderly);
    EXPECT_EQ(window_.ItemText(IDC_TXT_LINKSTATE), kConnected);
    EXPECT_TRUE(server_->Ended().IsSet());
    EXPECT_FALSE(LineWaits());
}

TEST_F(BridgeServerTest, ATakenPortGivesTheFailureTextAndTheSerialSideGoesOn) {
    platform::Socket rival = platform::Socket::CreateTcp();
    ASSERT_TRUE(rival.BindLoopback(port_));
    ASSERT_TRUE(rival.Listen(1));
    testing::internal::CaptureStdout();
    window_.Run([&] {
        server_ = std::make_unique<BridgeServer>(window_, *link_, port_);
        server_->Start();
    });
    ASSERT_TRUE(WaitSet(server_->Ended()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bind()  failed.\n");
    EXPECT_EQ(window_.ItemText(IDC_TXT_PORTINFO), kBindFailed);

    window_.Run([&] { link_->QueueWrite("ready&ready&"); });
    EXPECT_EQ(board_.Receive(12, kTimeout), "ready&ready&");
    BoardSays("still&here\n");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_rxLine.data())), "still\nhere");
    int reopened = 0;
    window_.Run([&] {
        link_->RequestClose();
        reopened = link_->OpenPort(&window_, 33, 115200, 'N', 8, 1, 3, 512);
        link_->StartMonitor();
    });
    EXPECT_EQ(reopened, 1);
}

// A producer plays the user-interface thread and makes thousands of lines,
// byte by byte, while clients poll over real connections; every answer must
// carry exactly one whole line, each line once.
TEST_F(BridgeServerTest, ConcurrentPollsEachTakeOneWholeLine) {
    StartServer();
    constexpr int kLines = 2000;
    constexpr int kClients = 3;
    std::vector<std::string> lines(kLines);
    std::mt19937 random(7);
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789&&&&";
    for (int i = 0; i < kLines; ++i) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "L%05d&", i);
        lines[i] = prefix;
        const std::size_t length = i % 50 == 0 ? 198 : 7 + random() % 150;
        while (lines[i].size() < length) {
            lines[i] += alphabet[random() % alphabet.size()];
        }
    }

    std::atomic<bool> done{false};
    const platform::Deadline deadline(100 * 1000);
    std::thread producer([&] {
        for (const std::string& line : lines) {
            // A board that speaks again once its line was taken.
            while (g_rxLineReady.load(std::memory_order_acquire) != 0) {
                if (deadline.Expired()) {
                    return;
                }
                std::this_thread::yield();
            }
            for (const char c : line) {
                MailboxPutByte(static_cast<uint8_t>(c));
            }
            // A full line completes with whatever comes next, which is lost.
            MailboxPutByte(line.size() == 198 ? 'X' : '\n');
        }
    });

    std::mutex mutex;
    std::vector<std::string> answers;
    std::vector<std::string> faults;
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            while (!done.load() && !deadline.Expired()) {
                const Reply reply = Exchange(port_, "GET /poll HTTP/1.1\r\n\r\n", 10000);
                std::lock_guard lock(mutex);
                if (reply.end != StreamEnd::kOrderly) {
                    faults.push_back("no orderly end");
                } else if (!reply.data.empty()) {
                    answers.push_back(reply.data);
                    if (answers.size() == kLines) {
                        done = true;
                    }
                }
            }
        });
    }
    producer.join();
    for (std::thread& client : clients) {
        client.join();
    }

    EXPECT_EQ(faults.size(), 0u) << (faults.empty() ? "" : faults.front());
    ASSERT_EQ(answers.size(), static_cast<std::size_t>(kLines));
    std::set<int> seen;
    for (const std::string& answer : answers) {
        ASSERT_TRUE(answer.starts_with(kHeader) && answer.ends_with("\r\n")) << answer;
        const std::string body = answer.substr(kHeader.size(), answer.size() - kHeader.size() - 2);
        const int index = std::atoi(body.c_str() + 1);
        ASSERT_TRUE(index >= 0 && index < kLines) << body;
        std::string expected = lines[index];
        std::replace(expected.begin(), expected.end(), '&', '\n');
        EXPECT_EQ(body, expected);
        EXPECT_TRUE(seen.insert(index).second) << "line " << index << " twice";
    }
}

// Browsers fire commands from several fetches at once: every accepted command
// reaches the board once, whole, and each client's in the order it sent them.
TEST_F(BridgeServerTest, ConcurrentCommandsEachReachTheBoardOnceInOrder) {
    StartServer();
#if PLINKOR_SANITIZED
    constexpr int kPerClient = 500;
#else
    constexpr int kPerClient = 3000;
#endif
    constexpr int kClients = 4;
    constexpr std::size_t kRecord = 10;  // "/c<client>-<5 digits>\n"
    constexpr std::size_t kTotal = kClients * kPerClient * kRecord;
    std::string received;
    std::thread board([&] { received = board_.Receive(kTotal, 100000); });
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    std::atomic<int> faults{0};
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < kPerClient; ++i) {
                char target[32];
                std::snprintf(target, sizeof target, "/c%d-%05d", c, i);
                const Reply reply = Exchange(port_, Get(target), 10000);
                if (reply.end != StreamEnd::kOrderly || !reply.data.empty()) {
                    ++faults;
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    board.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d commands in %.2f s: %.0f commands/s end to end\n", kClients * kPerClient,
                seconds, kClients * kPerClient / seconds);
    received += board_.Drain(200);

    EXPECT_EQ(faults.load(), 0);
    ASSERT_EQ(received.size(), kTotal) << "lost or doubled commands";
    std::vector<int> next(kClients, 0);
    for (std::size_t at = 0; at < received.size(); at += kRecord) {
        const std::string record = received.substr(at, kRecord);
        int client = -1, index = -1;
        ASSERT_EQ(std::sscanf(record.c_str(), "/c%d-%5d", &client, &index), 2) << record;
        ASSERT_TRUE(client >= 0 && client < kClients && record.back() == '\n') << record;
        ASSERT_EQ(index, next[client]) << "client " << client << " out of order or doubled";
        ++next[client];
    }
}

}  // namespace
}  // namespace plk

// The bridge's request rules and the received-line mailbox, called directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "bridge/mailbox.h"
#include "bridge/request.h"

namespace plk {
namespace {

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// What a request queues to the board, or "-" when it is no command.
std::string Queued(std::string_view text) {
    if (Classify(text) != RequestKind::kCommand) {
        return "-";
    }
    std::array<uint8_t, kCommandStageSize> stage{};
    const std::size_t length = StageCommand(*CutCommand(text), stage);
    return {reinterpret_cast<const char*>(stage.data()), length};
}

TEST(RequestRules, CommandCut) {
    EXPECT_EQ(Queued("GET /abc HTTP/1.1\r\nHost: 127.0.0.1:12345\r\nAccept: */*\r\n\r\n"),
              "/abc\n");
    EXPECT_EQ(Queued("GET / HTTP/1.1\r\n\r\n"), "/\n");
    EXPECT_EQ(Queued("GET /led?on=1&x=%20 HTTP/1.1\r\n\r\n"), "/led?on=1&x=%20\n");
    // The length counts from the start of the text, not from "GET".
    EXPECT_EQ(Queued("POST /GET HTTP/1.1\r\n\r\n"), "HTTP/\n");
    EXPECT_EQ(Queued("GET /HTTPx HTTP/1.1\r\n\r\n"), "\n");
    // h < 5: the text runs to the end of the request.
    EXPECT_EQ(Queued("GET HTTP/1.1\r\n\r\n"), "HTTP/1.1\r\n\r\n\n");
    EXPECT_EQ(Queued("GET HTTP/1.1\r\n\r\n").size(), 13u);
    // No "GET" before the first "HTTP": nothing.
    EXPECT_EQ(Queued("POST /x HTTP/1.1\r\nX-Verb: GET\r\n\r\n"), "-");
    EXPECT_EQ(Queued("GET /abc\r\n\r\n"), "-");
    EXPECT_EQ(Queued("get /abc http/1.1\r\n\r\n"), "-");
    EXPECT_EQ(Queued(""), "-");
    // h - 5 bytes from offset g + 4 would run past the end here: the text
    // stops where the request does.
    EXPECT_EQ(*CutCommand("xxxxxxxxGET /aHTTP"), "/aHTTP");
    EXPECT_EQ(*CutCommand("GETxHTTP"), "HTTP");
}

TEST(RequestRules, LongCommandsAreStagedWholeOrNotAtAll) {
    const std::string target98 = "/" + std::string(97, 'a');
    EXPECT_EQ(Queued("GET " + target98 + " HTTP/1.1\r\n\r\n"), target98 + "\n");
    const std::string target300 = "/" + std::string(299, 'b');
    EXPECT_EQ(Queued("GET " + target300 + " HTTP/1.1\r\n\r\n"), target300 + "\n");

    std::array<uint8_t, 4> small{};
    EXPECT_EQ(StageCommand("abc", small), 4u);
    EXPECT_EQ(StageCommand("abcd", small), 0u);
}

TEST(RequestRules, PolicyAndPollAreToldByTheRequestLineOnly) {
    EXPECT_EQ(Classify("GET /crossdomain.xml HTTP/1.1\r\n\r\n"), RequestKind::kPolicy);
    EXPECT_EQ(Classify("GET /crossdomain.xml?poll HTTP/1.1\r\n\r\n"), RequestKind::kPolicy);
    EXPECT_EQ(Classify("GET /poll HTTP/1.1\r\n\r\n"), RequestKind::kPoll);
    EXPECT_EQ(Classify("GET /poll_led HTTP/1.1\r\n\r\n"), RequestKind::kPoll);
    EXPECT_EQ(Classify("POST /poll HTTP/1.1\r\n\r\n"), RequestKind::kPoll);
    // A page served from a host named apollo-... sends that name in its header
    // fields; its commands stay commands.
    EXPECT_EQ(Classify("GET /abc HTTP/1.1\r\nOrigin: http://apollo-lab\r\n"
                       "Referer: http://apollo-lab/crossdomain.xml\r\n\r\n"),
              RequestKind::kCommand);
    EXPECT_EQ(Classify("GET /abc HTTP/1.1\nReferer: /poll\n\n"), RequestKind::kCommand);
    EXPECT_EQ(Classify("GET /abc HTTP/1.1\rpoll"), RequestKind::kCommand);
    EXPECT_EQ(Classify("POST /x HTTP/1.1\r\nReferer: /poll\r\n\r\n"), RequestKind::kNone);
    // The request text ends at the first zero byte.
    const std::string zero("GET /a\0poll HTTP/1.1", 20);
    EXPECT_EQ(RequestText(Bytes(zero)), "GET /a");
    EXPECT_EQ(Classify(RequestText(Bytes(zero))), RequestKind::kNone);
}

TEST(RequestRules, Answers) {
    std::array<uint8_t, kResponseSize> out{};
    const std::size_t policy = ComposePolicyAnswer(out);
    ASSERT_EQ(policy, 187u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), policy),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=ISO-8859-1\r\n"
              "Access-Control-Allow-Origin: *\r\n\r\n"
              "<cross-domain-policy>\n <allow-access-from domain=\"*\" to-ports=\"*\"/>\n"
              "</cross-domain-policy>\n");
    const std::size_t poll = ComposePollAnswer("ok\ndone", out);
    ASSERT_EQ(poll, 105u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()) + 96, 9), "ok\ndone\r\n");
    EXPECT_EQ(ComposePollAnswer("", out), 98u);
    EXPECT_EQ(ComposePollAnswer(std::string(198, 'x'), out), 296u);
    std::array<uint8_t, 100> tooSmall{};
    EXPECT_EQ(ComposePolicyAnswer(tooSmall), 0u);
    EXPECT_EQ(ComposePollAnswer("abc", tooSmall), 0u);
}

TEST(RequestRules, HeadEndIsFoundAcrossPieces) {
    auto whole = [](std::string_view text) { return HeadEndScanner().Feed(Bytes(text)); };
    EXPECT_TRUE(whole("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(whole("GET / HTTP/1.1\n\n"));
    EXPECT_FALSE(whole("GET / HTTP/1.1\r\nHost: x\r\n"));
    EXPECT_FALSE(whole("GET / HTTP/1.1\r\n\r"));
    EXPECT_FALSE(whole("\r\n"));
    EXPECT_FALSE(whole("a\n\r\rb\n"));

    const std::string head = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    for (std::size_t cut = 0; cut <= head.size(); ++cut) {
        HeadEndScanner scanner;
        const bool early = scanner.Feed(Bytes(std::string_view(head).substr(0, cut)));
        EXPECT_EQ(early, cut == head.size());
        EXPECT_TRUE(scanner.Feed(Bytes(std::string_view(head).substr(cut))));
    }
}

class MailboxTest : public ::testing::Test {
protected:
    void SetUp() override { MailboxClear(); }
    void TearDown() override { MailboxClear(); }

    static void Put(std::string_view bytes) {
        for (const char c : bytes) {
            MailboxPutByte(static_cast<uint8_t>(c));
        }
    }
    // The line a poll takes, or "-" when none waits.
    static std::string Take() {
        std::string taken = "-";
        MailboxTake([&](std::string_view line) {
            taken = line;
            // The buffer is already cleared while the line is used, and the
            // mailbox is still the consumer's.
            EXPECT_TRUE(
                std::all_of(g_rxLine.begin(), g_rxLine.end(), [](uint8_t b) { return b == 0; }));
            EXPECT_EQ(g_rxLineReady.load(), 1);
            return true;
        });
        return taken;
    }
};

TEST_F(MailboxTest, LinesCompleteAtALineFeedWithAmpersandsTurnedIntoLineFeeds) {
    EXPECT_EQ(Take(), "-");
    Put("ok&do");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_rxLine.data())), "ok&do");
    EXPECT_EQ(Take(), "-");  // a half line stays put and goes on growing
    Put("ne\n");
    EXPECT_EQ(g_rxLineLen, 0);
    EXPECT_EQ(g_rxLineReady.load(), 1);
    EXPECT_EQ(Take(), "ok\ndone");
    EXPECT_EQ(g_rxLineReady.load(), 0);
    EXPECT_EQ(Take(), "-");

    Put("\n");
    EXPECT_EQ(Take(), "");
    Put("a&\n");
    EXPECT_EQ(Take(), "a\n");
    Put("crlf\r\n");
    EXPECT_EQ(Take(), "crlf\r");
}

// Bytes dropped while a line waits, or thrown away unread ("|" and "!": a purge
// that ended with a line feed, or inside a line), break the line they belong
// to: it is dropped up to its line feed, and a line in assembly is dropped, not
// spliced. Each row alternates what the board sends and what polls take.
TEST_F(MailboxTest, ALineThatLostBytesIsDroppedUpToItsLineFeed) {
    struct Row {
        std::vector<std::string> steps;  // sent, then taken ("-": none), and so on
    };
    const Row rows[] = {
        // Dropped while a line waited: the rest of that line goes too.
        {{"first\nsecond\nthi", "first", "rd\nfourth\n", "fourth"}},
        // The byte dropped last was a line feed: the next line is whole.
        {{"first\nsecond\n", "first", "third\n", "third"}},
        // A purge inside a line, with its head in assembly.
        {{"hea!d-tail\nnext\n", "next"}},
        // A purge that ended with a line feed: the head goes, the next is whole.
        {{"hea|next\n", "next"}},
        // A purge inside a line while another waits.
        {{"first\n!tail\n", "first", "next\n", "next"}},
        // A broken line whose line feed went with a purge.
        {{"first\nsec", "first", "|next\n", "next"}},
        // A line feed right after a purge inside a line ends the broken line.
        {{"!\nnext\n", "next"}},
    };
    for (const Row& row : rows) {
        MailboxClear();
        SCOPED_TRACE(row.steps.front());
        for (std::size_t i = 0; i < row.steps.size(); ++i) {
            if (i % 2 == 1) {
                EXPECT_EQ(Take(), row.steps[i]);
                continue;
            }
            for (const char c : row.steps[i]) {
                if (c == '|' || c == '!') {
                    MailboxDiscarded(c == '!');
                } else {
                    MailboxPutByte(static_cast<uint8_t>(c));
                }
            }
        }
        EXPECT_EQ(Take(), "-");
    }
}

TEST_F(MailboxTest, ALineNobodyGotIsPutBackForTheNextPoll) {
    Put("kept&line\n");
    EXPECT_TRUE(MailboxTake([](std::string_view line) {
        EXPECT_EQ(line, "kept\nline");
        return false;
    }));
    Put("dropped\n");
    EXPECT_EQ(Take(), "kept\nline");
    EXPECT_EQ(Take(), "-");
}

TEST_F(MailboxTest, TheHundredNinetyNinthByteCompletesTheLineAndIsLost) {
    Put(std::string(198, 'x'));
    EXPECT_EQ(g_rxLineLen, 198);
    EXPECT_EQ(g_rxLineReady.load(), 0);
    EXPECT_EQ(g_rxLine[198], 0);
    EXPECT_EQ(g_rxLine[199], 0);
    Put("Y");
    EXPECT_EQ(g_rxLineReady.load(), 1);
    EXPECT_EQ(Take(), std::string(198, 'x'));
    Put("z\n");
    EXPECT_EQ(Take(), "z");
}

TEST_F(MailboxTest, AZeroByteEndsTheLineAsTakenAndTheRestIsCleared) {
    Put(std::string("ab\0cd\n", 6));
    EXPECT_EQ(Take(), "ab");
    Put("e\n");
    EXPECT_EQ(Take(), "e");
}

}  // namespace
}  // namespace plk

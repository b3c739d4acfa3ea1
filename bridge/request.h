// What the bridge makes of a request's bytes, and the answers it gives: plain
// functions over bytes, apart from any socket, so that tests and the fuzzer can
// drive them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace plk {

// The one header of every answer. It carries no length: the body ends where
// the connection does.
inline constexpr std::string_view g_httpHeader =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/html; charset=ISO-8859-1\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "\r\n";
inline constexpr std::string_view g_policyXml =
    "<cross-domain-policy>\n"
    " <allow-access-from domain=\"*\" to-ports=\"*\"/>\n"
    "</cross-domain-policy>\n";
static_assert(g_httpHeader.size() == 96 && g_policyXml.size() == 91);

// How much of a request is read and classified.
inline constexpr std::size_t kRequestReadSize = 512;
// The answer buffer, and the buffer a command line is staged in: as large as
// the serial link's write buffer, which every command cut from a request of
// kRequestReadSize bytes fits with its line feed.
inline constexpr std::size_t kResponseSize = 512;
inline constexpr std::size_t kCommandStageSize = 512;

enum class RequestKind {
    kPolicy,   // answered with the cross-domain policy
    kPoll,     // answered with the waiting line, if there is one
    kCommand,  // its target goes to the board; no answer
    kNone,     // dropped without effect
};

// The request text: the received bytes up to the first zero byte.
std::string_view RequestText(std::span<const uint8_t> received);

// The request line: the text up to its first line break (CR or LF).
std::string_view RequestLine(std::string_view text);

// "crossdomain.xml" in the request line makes a policy request, else "poll" in
// the request line a poll; else a "GET" before the first "HTTP" anywhere in the
// text a command. Header fields never make a policy or a poll request: a page
// whose address contains "poll" sends it in Origin and Referer.
RequestKind Classify(std::string_view text);

// The command text of a request: from the byte after "GET" and the one byte
// that follows it, h - 5 bytes long, h the offset of the first "HTTP" counted
// from the start of the text; never past the end of the text, and running to
// the end when h < 5. Nothing when there is no "GET" before the first "HTTP".
std::optional<std::string_view> CutCommand(std::string_view text);

// Copies `command` and one line feed into `stage`; returns the length of the
// line, or 0 (nothing staged) when it does not fit.
std::size_t StageCommand(std::string_view command, std::span<uint8_t> stage);

// Composes an answer in `out`; returns its length, or 0 when it does not fit.
std::size_t ComposePolicyAnswer(std::span<uint8_t> out);
std::size_t ComposePollAnswer(std::string_view line, std::span<uint8_t> out);

// Finds the blank line that ends a request head, in bytes fed piece by piece.
// A bare LF counts as a line break as well as CR LF.
class HeadEndScanner {
public:
    // Returns true once the end has been seen (in these bytes or before).
    bool Feed(std::span<const uint8_t> bytes);
    bool done() const { return done_; }

private:
    bool done_ = false;
    // 0: inside a line; 1: just after a line feed; 2: after a line feed and a CR.
    int state_ = 0;
};

}  // namespace plk

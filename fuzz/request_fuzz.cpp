// The bridge's request rules on arbitrary bytes: what one read can bring in is
// classified and cut, and whatever is queued must be a whole command line that
// fits the serial link's write buffer.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bridge/request.h"

namespace {

using plk::RequestKind;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The serial link's write buffer.
constexpr std::size_t kWriteBufferSize = 512;

void CheckRequest(const uint8_t* data, std::size_t size) {
    // One read: at most kRequestReadSize bytes into a zero-filled buffer twice
    // that size, so that the text always ends inside it.
    std::array<uint8_t, 2 * plk::kRequestReadSize> request{};
    const std::size_t read = std::min(size, plk::kRequestReadSize);
    std::memcpy(request.data(), data, read);
    const std::string_view text = plk::RequestText(std::span(request.data(), read));
    Check(text.size() <= read, "the request text stays inside what was read");

    const std::string_view line = plk::RequestLine(text);
    const bool policy = line.find("crossdomain.xml") != std::string_view::npos;
    const bool poll = line.find("poll") != std::string_view::npos;
    const RequestKind kind = plk::Classify(text);
    Check((kind == RequestKind::kPolicy) == policy, "policy exactly by the request line");
    Check((kind == RequestKind::kPoll) == (!policy && poll), "poll exactly by the request line");

    const auto command = plk::CutCommand(text);
    if (policy || poll) {
        return;
    }
    Check((kind == RequestKind::kCommand) == command.has_value(), "a command has a cut");
    if (!command) {
        return;
    }
    Check(command->data() >= text.data() &&
              command->data() + command->size() <= text.data() + text.size(),
          "the cut lies inside the request text");

    std::array<uint8_t, plk::kCommandStageSize + 16> stage;
    stage.fill(0xA5);
    const std::size_t length =
        plk::StageCommand(*command, std::span(stage.data(), plk::kCommandStageSize));
    Check(length == command->size() + 1, "every command is staged whole");
    Check(length <= kWriteBufferSize, "the command line fits the write buffer");
    Check(stage[length - 1] == '\n', "the command line ends in its line feed");
    Check(std::memcmp(stage.data(), command->data(), command->size()) == 0,
          "the command line starts with the command text");
    Check(std::all_of(stage.begin() + plk::kCommandStageSize, stage.end(),
                      [](uint8_t b) { return b == 0xA5; }),
          "nothing is written past the staging buffer");
}

void CheckAnswers(const uint8_t* data, std::size_t size) {
    // A line as the mailbox hands it out: at most 198 bytes, no zero byte.
    std::string_view line(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 198));
    line = line.substr(0, line.find('\0'));
    std::array<uint8_t, plk::kResponseSize> out{};
    const std::size_t length = plk::ComposePollAnswer(line, out);
    Check(length == plk::g_httpHeader.size() + line.size() + 2, "a poll answer always fits");
    Check(out[length - 2] == '\r' && out[length - 1] == '\n', "a poll answer ends in CR LF");
}

void CheckHeadEnd(const uint8_t* data, std::size_t size) {
    // Where the blank line is found does not depend on how the bytes arrive.
    const std::span<const uint8_t> all(data, size);
    const bool whole = plk::HeadEndScanner().Feed(all);
    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    plk::HeadEndScanner pieces;
    pieces.Feed(all.first(cut));
    Check(pieces.Feed(all.subspan(cut)) == whole, "the head end does not depend on the pieces");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    CheckRequest(data, size);
    CheckAnswers(data, size);
    CheckHeadEnd(data, size);
    return 0;
}

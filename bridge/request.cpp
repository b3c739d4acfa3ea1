#include "bridge/request.h"

#include <algorithm>
#include <cstring>

namespace plk {

namespace {

std::size_t Append(std::span<uint8_t> out, std::size_t at, std::string_view text) {
    if (!text.empty()) {
        std::memcpy(out.data() + at, text.data(), text.size());
    }
    return at + text.size();
}

}  // namespace

std::string_view RequestText(std::span<const uint8_t> received) {
    const auto end = std::find(received.begin(), received.end(), uint8_t{0});
    return {reinterpret_cast<const char*>(received.data()),
            static_cast<std::size_t>(end - received.begin())};
}

std::string_view RequestLine(std::string_view text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

RequestKind Classify(std::string_view text) {
    const std::string_view line = RequestLine(text);
    if (line.find("crossdomain.xml") != std::string_view::npos) {
        return RequestKind::kPolicy;
    }
    if (line.find("poll") != std::string_view::npos) {
        return RequestKind::kPoll;
    }
    return CutCommand(text) ? RequestKind::kCommand : RequestKind::kNone;
}

std::optional<std::string_view> CutCommand(std::string_view text) {
    const std::size_t g = text.find("GET");
    const std::size_t h = text.find("HTTP");
    if (g == std::string_view::npos || h == std::string_view::npos || h < g) {
        return std::nullopt;
    }
    // h >= g + 3, and "HTTP" lies inside the text, so the start does too.
    const std::size_t start = std::min(g + 4, text.size());
    const std::size_t rest = text.size() - start;
    const std::size_t length = h >= 5 ? std::min(h - 5, rest) : rest;
    return text.substr(start, length);
}

std::size_t StageCommand(std::string_view command, std::span<uint8_t> stage) {
    if (command.size() + 1 > stage.size()) {
        return 0;
    }
    const std::size_t end = Append(stage, 0, command);
    stage[end] = '\n';
    return end + 1;
}

std::size_t ComposePolicyAnswer(std::span<uint8_t> out) {
    if (g_httpHeader.size() + g_policyXml.size() > out.size()) {
        return 0;
    }
    return Append(out, Append(out, 0, g_httpHeader), g_policyXml);
}

std::size_t ComposePollAnswer(std::string_view line, std::span<uint8_t> out) {
    if (g_httpHeader.size() + line.size() + 2 > out.size()) {
        return 0;
    }
    return Append(out, Append(out, Append(out, 0, g_httpHeader), line), "\r\n");
}

bool HeadEndScanner::Feed(std::span<const uint8_t> bytes) {
    for (const uint8_t byte : bytes) {
        if (done_) {
            break;
        }
        if (byte == '\n') {
            done_ = state_ != 0;
            state_ = 1;
        } else if (byte == '\r' && state_ == 1) {
            state_ = 2;
        } else {
            state_ = 0;
        }
    }
    return done_;
}

}  // namespace plk

#include "bridge/mailbox.h"

#include <algorithm>

namespace plk {

std::array<uint8_t, kRxLineSize> g_rxLine{};
int32_t g_rxLineLen = 0;
std::atomic<int> g_rxLineReady{0};
bool g_rxLineBroken = false;

void MailboxPutByte(uint8_t byte) {
    if (g_rxLineReady.load(std::memory_order_acquire) != 0) {
        g_rxLineBroken = byte != '\n';
        return;
    }
    if (g_rxLineBroken) {
        g_rxLineBroken = byte != '\n';
        return;
    }
    if (byte == '\n' || g_rxLineLen >= kRxLineMax) {
        std::replace(g_rxLine.begin(), g_rxLine.begin() + g_rxLineLen, uint8_t{'&'}, uint8_t{'\n'});
        g_rxLineLen = 0;
        g_rxLineReady.store(1, std::memory_order_release);
        return;
    }
    g_rxLine[static_cast<std::size_t>(g_rxLineLen)] = byte;
    ++g_rxLineLen;
}

void MailboxDiscarded(bool insideALine) {
    if (g_rxLineReady.load(std::memory_order_acquire) == 0) {
        std::fill_n(g_rxLine.begin(), g_rxLineLen, uint8_t{0});
        g_rxLineLen = 0;
    }
    g_rxLineBroken = insideALine;
}

bool MailboxTake(const std::function<bool(std::string_view line)>& use) {
    if (g_rxLineReady.load(std::memory_order_acquire) != 1) {
        return false;
    }
    std::array<char, kRxLineSize> copy{};
    const auto end = std::find(g_rxLine.begin(), g_rxLine.end(), uint8_t{0});
    const auto length = static_cast<std::size_t>(end - g_rxLine.begin());
    std::copy(g_rxLine.begin(), end, copy.begin());
    g_rxLine.fill(0);
    if (!use(std::string_view(copy.data(), length))) {
        // Nobody got it: it waits for the next poll, as if never taken.
        std::copy_n(copy.begin(), length, g_rxLine.begin());
        return true;
    }
    g_rxLineReady.store(0, std::memory_order_release);
    return true;
}

void MailboxClear() {
    g_rxLine.fill(0);
    g_rxLineLen = 0;
    g_rxLineBroken = false;
    g_rxLineReady.store(0, std::memory_order_release);
}

}  // namespace plk

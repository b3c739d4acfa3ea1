// The received-line mailbox: one complete line of the board's output, handed
// from the user-interface thread to the bridge server thread.
//
// A single slot without a lock. g_rxLineReady says who owns g_rxLine: at 0 the
// producer (assembling a line; it alone also touches g_rxLineLen), at 1 the
// consumer (a complete line waits). Each side stores the flag last, with
// release; each loads it with acquire, so it sees the line as the other left it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

namespace plk {

inline constexpr std::size_t kRxLineSize = 200;
// A line holds at most this many bytes, so its last two bytes stay zero.
inline constexpr int32_t kRxLineMax = 198;

extern std::array<uint8_t, kRxLineSize> g_rxLine;
extern int32_t g_rxLineLen;
extern std::atomic<int> g_rxLineReady;

// Producer side (user-interface thread): one received byte. A line feed, or a
// byte that finds kRxLineMax bytes stored, completes the line (and is not
// stored); every "&" of the completed line becomes a line feed. While a line
// waits, bytes are dropped.
void MailboxPutByte(uint8_t byte);

// Consumer side (bridge server thread). When a complete line waits: copies it
// (up to its first zero byte), zero-fills g_rxLine, hands the copy to `use`,
// then gives the mailbox back, and returns true. Otherwise returns false and
// changes nothing.
bool MailboxTake(const std::function<void(std::string_view line)>& use);

// Back to the state at program start. Only while no other thread uses the
// mailbox (tests).
void MailboxClear();

}  // namespace plk

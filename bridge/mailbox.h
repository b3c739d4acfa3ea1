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
// Set while the bytes that arrive belong to a line that lost bytes on the way
// (dropped while a line waited, or thrown away unread): they are dropped up to
// and including its line feed, so that a page never gets a line's tail as a
// line, nor a head spliced to a later tail. The producer's alone.
extern bool g_rxLineBroken;

// Producer side (user-interface thread): one received byte. A line feed, or a
// byte that finds kRxLineMax bytes stored, completes the line (and is not
// stored); every "&" of the completed line becomes a line feed. While a line
// waits, bytes are dropped, and the line they belong to is broken unless the
// byte dropped was its line feed.
void MailboxPutByte(uint8_t byte);

// Producer side: bytes of the board's output were thrown away before they got
// here. The line in assembly lost its rest and goes; with `insideALine` (the
// last byte thrown away was no line feed) the bytes up to the next line feed
// belong to a broken line too.
void MailboxDiscarded(bool insideALine);

// Consumer side (bridge server thread). When a complete line waits: copies it
// (up to its first zero byte), zero-fills g_rxLine and hands the copy to `use`,
// which says whether the line reached its reader. If it did, the mailbox is
// given back; if not, the line is put back and waits for the next poll.
// Returns whether a line waited; otherwise changes nothing.
bool MailboxTake(const std::function<bool(std::string_view line)>& use);

// Back to the state at program start. Only while no other thread uses the
// mailbox (tests).
void MailboxClear();

}  // namespace plk

#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/link.h"
#include "port/port.h"

namespace zorbent {

// The adapter exchange. Replies are stored from the buffer's start and NUL-terminated;
// a reply that would not fit the buffer fails like a read.

// Time-outs of the exchanges, in milliseconds.
inline constexpr std::int32_t kReplyTimeoutMs = 2000;      // ordinary commands
inline constexpr std::int32_t kLongReplyTimeoutMs = 5000;  // long-running download commands
// After a command timed out, the next one waits until the line has been quiet this long
// (and no longer than the limit), dropping whatever arrives: a late answer.
inline constexpr std::int32_t kSettleQuietMs = 500;
inline constexpr std::int32_t kSettleLimitMs = 5000;

// Drops a late answer before the next command goes out: reads until the line has been quiet
// for kSettleQuietMs. Costs nothing unless the last exchange failed. Every send does it first.
void Settle(Link& link);
// Sends a command and collects the answer after its echo up to and including '>'.
// Characters stored; -1 empty command or overall time-out; -2 write failed; -3 read failed.
std::int32_t SendCommand(Link& link, std::string_view command, std::span<char> reply,
                         std::int32_t replyTimeoutMs, std::int32_t writeTimeoutMs);
// As SendCommand, the answer ending at the first carriage return after the echo.
std::int32_t SendCommandToLineEnd(Link& link, std::string_view command, std::span<char> reply,
                                  std::int32_t replyTimeoutMs, std::int32_t writeTimeoutMs);
// As SendCommand, for a reply the caller acts on: it must answer this very command. It counts
// when the command's echo came first, or when the same command asked once more on a quiet
// line gets the same reply. -4 when the two replies differ (an earlier command's late answer
// was in the way).
std::int32_t SendCommandOwnReply(Link& link, std::string_view command, std::span<char> reply,
                                 std::int32_t replyTimeoutMs, std::int32_t writeTimeoutMs);
// Up to three SendCommand attempts; the last result.
std::int32_t SendCommandRetry(Link& link, std::string_view command, std::span<char> reply,
                              std::int32_t replyTimeoutMs, std::int32_t writeTimeoutMs);
// Purges and writes the text: 0 sent, -1 empty text or write failed.
std::int32_t SendText(Link& link, std::string_view text, std::int32_t writeTimeoutMs);
// Collects up to '>' dropping CR and LF: characters stored, -1 read failed or too long.
std::int32_t ReadReply(Link& link, std::span<char> buffer, std::int32_t timeoutMs);
// Collects one line (CR ends it, LF dropped, '>' kept and ends it): stored + 1, or -1.
std::int32_t ReadLine(Link& link, std::span<char> buffer, std::int32_t timeoutMs);
// The rest of text after the part that agrees with prefix (at most maxCount characters).
std::string_view SkipPrefix(std::string_view text, std::string_view prefix, std::size_t maxCount);
// The text without any c.
std::string Without(std::string_view text, char c);
// True when reply holds token.
bool Contains(std::span<const char> reply, std::string_view token);

}  // namespace zorbent

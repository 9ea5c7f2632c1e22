#include "engine/exchange.h"

#include <algorithm>
#include <cstring>

#include "engine/update_engine.h"
#include "platform/clock.h"

namespace zorbent {
namespace {

constexpr char kPrompt = '>';
constexpr char kCr = '\r';
constexpr char kLf = '\n';

bool ReadByte(Link& link, char& out, std::int32_t timeoutMs) {
  std::uint8_t byte = 0;
  if (!link.Read(std::span(&byte, 1), timeoutMs)) return false;
  out = static_cast<char>(byte);
  return true;
}

}  // namespace

void Settle(Link& link) {
  if (!link.AnswerOutstanding()) return;
  const WaitScope wait(link, WaitFor::kQuietLine, {}, kSettleLimitMs);
  const std::uint32_t start = TickCount();
  std::uint8_t byte = 0;
  while (TicksSince(start) < static_cast<std::uint32_t>(kSettleLimitMs)) {
    if (!link.Read(std::span(&byte, 1), kSettleQuietMs)) break;
  }
  link.SetAnswerOutstanding(false);
}

namespace {

// Clears the line and writes; false when the write failed. Settle comes first, outside the
// command's own time.
bool Start(Link& link, std::string_view text, std::int32_t writeTimeoutMs) {
  link.Purge();
  if (link.Write(Bytes(text), writeTimeoutMs)) return true;
  link.SetAnswerOutstanding(true);  // part of it may have gone out
  return false;
}

std::string_view WithoutLineEnd(std::string_view command) {
  while (!command.empty() && (command.back() == kCr || command.back() == kLf))
    command.remove_suffix(1);
  return command;
}

// A failed read leaves the answer's rest, or all of it, on its way.
std::int32_t Unanswered(Link& link, std::int32_t result) {
  link.SetAnswerOutstanding(true);
  return result;
}

// SendCommand and SendCommandToLineEnd differ only in the character that ends the reply.
// echoSeen tells whether the reply followed the command's own echo.
std::int32_t Exchange(Link& link, std::string_view command, std::span<char> reply,
                      std::int32_t replyTimeoutMs, std::int32_t writeTimeoutMs, char terminator,
                      bool* echoSeen = nullptr) {
  if (!command.empty()) Settle(link);
  const std::uint32_t start = TickCount();
  if (echoSeen != nullptr) *echoSeen = false;
  if (command.empty()) return -1;
  if (!Start(link, command, writeTimeoutMs)) return -2;
  if (reply.size() < 2) return Unanswered(link, -3);
  const WaitScope wait(link, WaitFor::kAnswer, WithoutLineEnd(command), replyTimeoutMs);
  const std::size_t limit = reply.size() - 1;  // room for the terminating NUL
  std::size_t pos = 0;
  // While the bytes so far begin the command's echo, the reply needs the rest of the echo and
  // at least one byte more: the port may let those cross the line before it looks.
  std::size_t echoed = 0;
  bool echoing = true;
  while (true) {
    // What came before a failure stays readable: bytes that are not text tell of a wrong rate.
    reply[pos] = '\0';
    if (TicksSince(start) >= static_cast<std::uint32_t>(std::max(replyTimeoutMs, 0)))
      return Unanswered(link, -1);
    link.ExpectBytes(echoing ? command.size() - echoed + 1 : 1);
    char byte = 0;
    if (!ReadByte(link, byte, replyTimeoutMs)) return Unanswered(link, -3);
    echoing = echoing && echoed < command.size() && byte == command[echoed];
    echoed += echoing ? 1 : 0;
    reply[pos] = byte;
    const std::string_view stored(reply.data(), pos + 1);
    if (stored.size() >= command.size() && stored.ends_with(command)) {
      pos = 0;  // the adapter's echo: drop it and start the answer afresh
      echoing = false;
      if (echoSeen != nullptr) *echoSeen = true;
      continue;
    }
    if (byte == terminator) {
      reply[pos + 1] = '\0';
      return static_cast<std::int32_t>(pos + 1);
    }
    if (byte == '\0') continue;
    if (++pos >= limit) {
      reply[pos] = '\0';
      return Unanswered(link, -3);  // longer than the caller's buffer
    }
  }
}

}  // namespace

std::int32_t SendCommand(Link& link, std::string_view command, std::span<char> reply,
                         std::int32_t replyTimeoutMs, std::int32_t writeTimeoutMs) {
  return Exchange(link, command, reply, replyTimeoutMs, writeTimeoutMs, kPrompt);
}

std::int32_t SendCommandToLineEnd(Link& link, std::string_view command, std::span<char> reply,
                                  std::int32_t replyTimeoutMs, std::int32_t writeTimeoutMs) {
  return Exchange(link, command, reply, replyTimeoutMs, writeTimeoutMs, kCr);
}

std::int32_t SendCommandOwnReply(Link& link, std::string_view command, std::span<char> reply,
                                 std::int32_t replyTimeoutMs, std::int32_t writeTimeoutMs) {
  bool echo = false;
  std::int32_t r = Exchange(link, command, reply, replyTimeoutMs, writeTimeoutMs, kPrompt, &echo);
  if (r < 0 || echo) return r;
  // No echo: the adapter's echo is off, or this was an earlier command's late answer and this
  // command's own answer is still coming. Let the line go quiet and ask again.
  const std::string first(BufferText(reply));
  link.SetAnswerOutstanding(true);
  r = Exchange(link, command, reply, replyTimeoutMs, writeTimeoutMs, kPrompt, &echo);
  if (r < 0 || echo) return r;
  return BufferText(reply) == first ? r : -4;
}

std::int32_t SendCommandRetry(Link& link, std::string_view command, std::span<char> reply,
                              std::int32_t replyTimeoutMs, std::int32_t writeTimeoutMs) {
  std::int32_t result = -1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    result = SendCommand(link, command, reply, replyTimeoutMs, writeTimeoutMs);
    if (result >= 0) break;
  }
  return result;
}

std::int32_t SendText(Link& link, std::string_view text, std::int32_t writeTimeoutMs) {
  if (text.empty()) return -1;
  Settle(link);
  link.NoteSent(WithoutLineEnd(text));
  return Start(link, text, writeTimeoutMs) ? 0 : -1;
}

namespace {

// ReadReply and ReadLine: each byte has its own time-out, and the whole reply is bounded by
// the same time-out too, so an adapter streaming without an end cannot hold the job.
std::int32_t Collect(Link& link, std::span<char> buffer, std::int32_t timeoutMs, bool lineMode) {
  if (buffer.size() < 2) return -1;
  const WaitScope wait(link, WaitFor::kAnswer, link.Sent(), timeoutMs);
  const std::uint32_t start = TickCount();
  const std::size_t limit = buffer.size() - 1;
  std::size_t pos = 0;
  while (true) {
    if (TicksSince(start) >= static_cast<std::uint32_t>(std::max(timeoutMs, 0)))
      return Unanswered(link, -1);
    char byte = 0;
    if (!ReadByte(link, byte, timeoutMs)) return Unanswered(link, -1);
    if (byte == kLf) continue;
    if (byte == kCr) {
      if (!lineMode) continue;
      buffer[pos] = '\0';
      return static_cast<std::int32_t>(pos + 1);
    }
    buffer[pos] = byte;
    if (byte == kPrompt) {
      buffer[pos + 1] = '\0';
      return static_cast<std::int32_t>(lineMode ? pos + 2 : pos + 1);
    }
    if (byte == '\0') continue;
    if (++pos >= limit) return Unanswered(link, -1);
  }
}

}  // namespace

std::int32_t ReadReply(Link& link, std::span<char> buffer, std::int32_t timeoutMs) {
  return Collect(link, buffer, timeoutMs, false);
}

std::int32_t ReadLine(Link& link, std::span<char> buffer, std::int32_t timeoutMs) {
  return Collect(link, buffer, timeoutMs, true);
}

std::string_view SkipPrefix(std::string_view text, std::string_view prefix, std::size_t maxCount) {
  const std::size_t n = std::min({text.size(), prefix.size(), maxCount});
  std::size_t i = 0;
  while (i < n && text[i] == prefix[i]) ++i;
  return text.substr(i);
}

std::string Without(std::string_view text, char c) {
  std::string out;
  for (const char ch : text)
    if (ch != c) out.push_back(ch);
  return out;
}

bool Contains(std::span<const char> reply, std::string_view token) {
  return BufferText(reply).find(token) != std::string_view::npos;
}

}  // namespace zorbent

#pragma once

// Text and version helpers that the image check, the engine and the front ends share. They
// need the device table and nothing else, so the image check stands without port/ and
// platform/.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorbent {

// Text as the bytes it is made of, for interfaces that take bytes (ports, digests, files).
std::span<const std::uint8_t> Bytes(std::string_view text);
// The value of a hex digit of either case; -1 for any other character.
int HexValue(char c);
// Text of a NUL-terminated buffer (up to its first NUL, never past its end).
std::string_view BufferText(std::span<const char> buffer);

// Appends a byte of an adapter's answer so that a terminal shows it and does nothing else: a
// control or non-ASCII byte as "\xNN" (ESC as "\x1B"), printable ASCII as it is. Printable
// text stays as it is, so escaped text escaped again is unchanged.
void AppendEscaped(std::string& out, char c);
// An adapter's answer as one printable line: line ends become spaces, the prompt goes, other
// control bytes are escaped (AppendEscaped).
std::string VisibleText(std::string_view answer);
// More than half of the bytes are not text (a line at another rate than the adapter's).
bool MostlyNotText(std::string_view bytes);

// Where a version starts in an adapter's answer: the first of letters followed by a digit
// ("RuvoPro v2.3": the "v" inside "Ruvo" is passed over); npos when none.
std::size_t FindVersionLetter(std::string_view answer, std::string_view letters);
// The version in an adapter's answer: the text after the first "v" or "V" followed by a
// digit, without ">" ("zOrbent BM v2.2.30>" -> "2.2.30") and with control bytes escaped;
// empty when there is none.
std::string VersionInAnswer(std::string_view answer);
// What a final "X" of a version part stands for on a model ('9' when it is not known).
char XDigitOf(std::int32_t code);
// Removes every "." and ">", replaces a final "X" by xDigit and gives the decimal value of the
// leading digits (0 when there are none; saturates instead of overflowing).
std::int32_t VersionNumber(std::string_view text, char xDigit);
// A version as every front end words it: "v2.2.30", or "an unknown version" when empty.
std::string Version(const std::string& version);

}  // namespace zorbent

#include "firmware/tuf/platform_fetcher.h"

#include <cerrno>

#include "platform/files.h"

namespace zorbent::tuf {

namespace {

constexpr std::string_view kFileScheme = "file://";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path a file:// URL or a local path names; empty for other URLs.
std::string LocalPath(std::string_view url) {
  const std::string scheme = UrlScheme(url);
  if (scheme.empty()) return std::string(url);
  if (scheme != "file" || url.size() < kFileScheme.size()) return {};
  std::string_view rest = url.substr(kFileScheme.size());
  if (rest.starts_with("localhost/")) rest.remove_prefix(std::string_view("localhost").size());
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const int high = i + 2 < rest.size() ? HexDigit(rest[i + 1]) : -1;
    const int low = i + 2 < rest.size() ? HexDigit(rest[i + 2]) : -1;
    if (rest[i] == '%' && high >= 0 && low >= 0) {
      path += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      path += rest[i];
    }
  }
  return path;
}

}  // namespace

FetchResult PlatformFetcher::Fetch(std::string_view url, std::size_t maxBytes) {
  FetchLimits limits = limits_;
  limits.maxBytes = maxBytes;
  FetchResult result = zorbent::Fetch(url, limits);
  if (!result.ok && result.kind == FetchResult::Problem::kFileUnreadable) {
    const PathFacts facts = LookAtPath(LocalPath(url));
    if (facts.kind == PathKind::kNone && facts.error == ENOENT)
      result.kind = FetchResult::Problem::kNotFound;
  }
  return result;
}

}  // namespace zorbent::tuf

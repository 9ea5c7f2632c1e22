#include "platform/http.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "platform/files.h"
#include "platform/http_os.h"

// The parts every system shares: URL parsing and resolving, local files, the facts of a failure.
// The HTTP clients live in posix/http.cpp and win/http.cpp.
namespace zorbent {
namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The pieces of a URL reference; a piece that is absent is empty, hasX tells it from an empty one.
struct UrlParts {
  std::string_view scheme;  // without ':'
  bool hasAuthority = false;
  std::string_view authority;
  std::string_view path;
  bool hasQuery = false;
  std::string_view query;  // without '?'
  bool hasFragment = false;
  std::string_view fragment;
};

// The scheme's length before ':', 0 when url starts with none. One letter and ':' is a drive.
std::size_t SchemeLength(std::string_view url) {
  if (url.empty() || !IsAlpha(url[0])) return 0;
  for (std::size_t i = 1; i < url.size(); ++i) {
    const char c = url[i];
    if (c == ':') return i >= 2 ? i : 0;
    if (!IsAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

UrlParts SplitUrl(std::string_view url) {
  UrlParts parts;
  if (const std::size_t n = SchemeLength(url); n > 0) {
    parts.scheme = url.substr(0, n);
    url.remove_prefix(n + 1);
  }
  if (const std::size_t hash = url.find('#'); hash != std::string_view::npos) {
    parts.hasFragment = true;
    parts.fragment = url.substr(hash + 1);
    url = url.substr(0, hash);
  }
  if (const std::size_t question = url.find('?'); question != std::string_view::npos) {
    parts.hasQuery = true;
    parts.query = url.substr(question + 1);
    url = url.substr(0, question);
  }
  if (url.starts_with("//")) {
    url.remove_prefix(2);
    const std::size_t slash = url.find('/');
    parts.hasAuthority = true;
    parts.authority = url.substr(0, slash);
    url = slash == std::string_view::npos ? std::string_view() : url.substr(slash);
  }
  parts.path = url;
  return parts;
}

// "a/b/../c/./d" -> "a/c/d", the way URL paths are resolved.
std::string RemoveDotSegments(std::string_view path) {
  std::string in(path);
  std::string out;
  const auto dropLast = [&out] {
    const std::size_t slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
  };
  while (!in.empty()) {
    if (in.starts_with("../")) {
      in.erase(0, 3);
    } else if (in.starts_with("./") || in.starts_with("/./")) {
      in.erase(0, 2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.starts_with("/../")) {
      in.erase(0, 3);
      dropLast();
    } else if (in == "/..") {
      in = "/";
      dropLast();
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      const std::size_t next = in.find('/', 1);
      out += in.substr(0, next);
      in.erase(0, next);
    }
  }
  return out;
}

std::string JoinUrl(const UrlParts& parts, std::string_view path) {
  std::string url;
  if (!parts.scheme.empty()) url.append(parts.scheme).append(":");
  if (parts.hasAuthority) url.append("//").append(parts.authority);
  url.append(path);
  if (parts.hasQuery) url.append("?").append(parts.query);
  if (parts.hasFragment) url.append("#").append(parts.fragment);
  return url;
}

bool IsLocalAbsolute(std::string_view path) {
  return path.starts_with('/') || path.starts_with('\\') ||
         (path.size() >= 2 && IsAlpha(path[0]) && path[1] == ':');
}

// The local path a file: URL names; false for another computer's file or a broken escape.
bool FileUrlPath(std::string_view url, std::string& path, std::string& why) {
  const UrlParts parts = SplitUrl(url);
  std::string host(parts.authority);
  for (char& c : host) c = Lower(c);
  if (!host.empty() && host != "localhost") {
    why = "file URLs naming another computer (" + host + ") are not supported; copy the file " +
          "to this computer and give its path";
    return false;
  }
  if (!parts.path.starts_with('/')) {
    why = "a file URL needs an absolute path, such as file:///home/me/firmware.bin";
    return false;
  }
  path.clear();
  for (std::size_t i = 0; i < parts.path.size(); ++i) {
    const char c = parts.path[i];
    if (c != '%') {
      path += c;
      continue;
    }
    // Two hex digits, never %00.
    unsigned value = 0;
    const char* digits = parts.path.data() + i + 1;
    if (i + 2 >= parts.path.size() ||
        std::from_chars(digits, digits + 2, value, 16).ptr != digits + 2 || value == 0) {
      why = "it has a broken %-escape in its path";
      return false;
    }
    path += static_cast<char>(value);
    i += 2;
  }
#ifdef _WIN32
  // file:///C:/dir/x.bin names C:/dir/x.bin.
  if (path.size() >= 3 && IsAlpha(path[1]) && path[2] == ':') path.erase(0, 1);
#endif
  return true;
}

std::string FileProblem(int error) {
  return error == ENOENT   ? "there is no such file"
         : error == EISDIR ? "it is a folder, not a file"
         : error == EINVAL ? "it is no regular file"
                           : std::strerror(error != 0 ? error : EIO);
}

FetchResult FetchLocal(const std::string& path, const FetchLimits& limits,
                       const FetchProgress& progress) {
  FetchResult result;
  int error = 0;
  const auto maxBytes =
      static_cast<std::int64_t>(std::min<std::size_t>(limits.maxBytes, INT64_MAX));
  if (LoadWholeFile(path, result.body, maxBytes, &error) < 0) {
    if (error == EFBIG) return FetchFailure(FetchResult::Problem::kTooLarge, path, limits);
    // A missing file is what a missing page is to a server: the caller may expect it.
    result = FetchFailure(
        error == ENOENT ? FetchResult::Problem::kNotFound : FetchResult::Problem::kFileUnreadable,
        path, limits, FileProblem(error));
    result.systemCode = error;
    return result;
  }
  if (!GoOn(progress, result.body.size(), result.body.size()))
    return FetchFailure(FetchResult::Problem::kCancelled, path, limits);
  result.ok = true;
  return result;
}

}  // namespace

std::string UrlScheme(std::string_view url) {
  std::string scheme(url.substr(0, SchemeLength(url)));
  for (char& c : scheme) c = Lower(c);
  return scheme;
}

std::string ResolveRelativeUrl(std::string_view base, std::string_view relative) {
  if (SchemeLength(base) == 0) {
    // A local path: the result sits next to base, unless relative stands on its own.
    if (SchemeLength(relative) > 0 || IsLocalAbsolute(relative) || relative.empty())
      return std::string(relative.empty() ? base : relative);
    const std::size_t separator = base.find_last_of("/\\");
    if (separator == std::string_view::npos) return std::string(relative);
    return std::string(base.substr(0, separator + 1)).append(relative);
  }
  const UrlParts from = SplitUrl(base);
  UrlParts to = SplitUrl(relative);
  if (!to.scheme.empty()) return JoinUrl(to, RemoveDotSegments(to.path));
  to.scheme = from.scheme;
  if (to.hasAuthority) return JoinUrl(to, RemoveDotSegments(to.path));
  to.hasAuthority = from.hasAuthority;
  to.authority = from.authority;
  if (to.path.empty()) {
    if (!to.hasQuery) {
      to.hasQuery = from.hasQuery;
      to.query = from.query;
    }
    return JoinUrl(to, from.path);
  }
  if (to.path.starts_with('/')) return JoinUrl(to, RemoveDotSegments(to.path));
  std::string merged;
  if (from.hasAuthority && from.path.empty()) {
    merged = "/";
  } else if (const std::size_t slash = from.path.rfind('/'); slash != std::string_view::npos) {
    merged = from.path.substr(0, slash + 1);
  }
  merged.append(to.path);
  return JoinUrl(to, RemoveDotSegments(merged));
}

FetchResult Fetch(std::string_view url, const FetchLimits& limits, const FetchProgress& progress) {
  const std::string scheme = UrlScheme(url);
  if (url.empty()) {
    return FetchFailure(FetchResult::Problem::kBadUrl, url, limits, "no address was given");
  }
  if (scheme.empty()) return FetchLocal(std::string(url), limits, progress);
  if (scheme == "file") {
    std::string path;
    std::string why;
    if (!FileUrlPath(url, path, why)) {
      return FetchFailure(FetchResult::Problem::kBadUrl, url, limits, why);
    }
    return FetchLocal(path, limits, progress);
  }
  if (scheme != "https" && scheme != "http") {
    return FetchFailure(FetchResult::Problem::kBadUrl, url, limits,
                        "the scheme \"" + scheme + "\" is not supported");
  }
  const UrlParts parts = SplitUrl(url);
  for (const char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
      return FetchFailure(FetchResult::Problem::kBadUrl, url, limits,
                          "it has spaces or control characters");
    }
  }
  if (!parts.hasAuthority || UrlHost(url).empty()) {
    return FetchFailure(FetchResult::Problem::kBadUrl, url, limits, "it names no server");
  }
  if (!limits.caFile.empty()) {
    // A missing CA file is the user's mistake, not a certificate the server got wrong.
    const PathFacts ca = LookAtPath(limits.caFile);
    if (ca.kind != PathKind::kRegular) {
      const int error = ca.kind == PathKind::kNone        ? ca.error
                        : ca.kind == PathKind::kDirectory ? EISDIR
                                                          : EINVAL;
      FetchResult result = FetchFailure(FetchResult::Problem::kFileUnreadable, limits.caFile,
                                        limits, FileProblem(error));
      result.systemCode = error;
      return result;
    }
  }
  return FetchRemote(url, limits, progress);
}

bool GoOn(const FetchProgress& progress, std::size_t done, std::size_t total) {
  if (!progress) return true;
  try {
    return progress(done, total);
  } catch (...) {
    return false;
  }
}

std::string UrlForText(std::string_view url) {
  const UrlParts parts = SplitUrl(url);
  const std::size_t at = parts.authority.rfind('@');
  if (!parts.hasAuthority || at == std::string_view::npos) return std::string(url);
  // Only the user name and password go; everything else reads as given.
  const auto start = static_cast<std::size_t>(parts.authority.data() - url.data());
  return std::string(url.substr(0, start)).append(url.substr(start + at + 1));
}

std::string UrlHost(std::string_view url) {
  std::string_view authority = SplitUrl(url).authority;
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
    authority.remove_prefix(at + 1);
  return std::string(authority);
}

std::string DurationText(std::int32_t ms) {
  if (ms < 1000) return IntToText(ms) + " ms";
  std::string text = IntToText(ms / 1000);
  if (ms % 1000 != 0) {
    std::string fraction = IntToText(1000 + ms % 1000).substr(1);
    while (fraction.ends_with('0')) fraction.pop_back();
    text += "." + fraction;
  }
  return text + " s";
}

FetchResult FetchFailure(FetchResult::Problem kind, std::string_view url, const FetchLimits& limits,
                         std::string_view detail, long httpStatus) {
  FetchResult result;
  result.kind = kind;
  result.httpStatus = httpStatus;
  result.url = UrlForText(url);
  result.systemText = detail;
  if (kind == FetchResult::Problem::kTooLarge) result.limit = limits.maxBytes;
  if (kind == FetchResult::Problem::kTooManyRedirects)
    result.limit = static_cast<std::size_t>(limits.maxRedirects);
  return result;
}

}  // namespace zorbent

#pragma once

// What http.cpp leaves to each system's HTTP client (posix/http.cpp with libcurl,
// win/http.cpp with WinHTTP), and the facts both give so a failure reads the same everywhere.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/http.h"

namespace zorbent {

// The download of an http:// or https:// URL, already known to have one of those schemes.
FetchResult FetchRemote(std::string_view url, const FetchLimits& limits,
                        const FetchProgress& progress);

// A failed result of kind for url. detail is its systemText: the reason for kBadUrl,
// kCannotConnect and kTlsFailed, the wait that ran out for kTimedOut.
FetchResult FetchFailure(FetchResult::Problem kind, std::string_view url, const FetchLimits& limits,
                         std::string_view detail = {}, long httpStatus = 0);

// Whether to go on: progress absent or true. A progress that throws cancels.
bool GoOn(const FetchProgress& progress, std::size_t done, std::size_t total);

// url without any user name or password in it, for texts.
std::string UrlForText(std::string_view url);
// "15 s", "1.5 s", "250 ms".
std::string DurationText(std::int32_t ms);

}  // namespace zorbent

#pragma once

// The byte layout of one identify fuzz input, shared by the target and the corpus generator:
//   [file version selector] [n] [n bytes product ID] then answers as [length] [bytes]...
// A length runs at most to the end of the input.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent::fuzz {

// Versions on both sides of the gate thresholds, and none.
inline constexpr std::array<std::int32_t, 8> kFileVersions = {0,    2201, 2229, 2230,
                                                              4005, 4006, 4009, 2147483647};

struct IdentifyInput {
  std::int32_t fileVersion = 0;
  std::string productId;
  std::vector<std::string> answers;
};

inline IdentifyInput DecodeIdentifyInput(std::span<const std::uint8_t> data) {
  IdentifyInput input;
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    n = std::min(n, data.size() - at);
    std::string out(reinterpret_cast<const char*>(data.data() + at), n);
    at += n;
    return out;
  };
  if (at < data.size()) input.fileVersion = kFileVersions[data[at++] % kFileVersions.size()];
  if (at < data.size()) input.productId = take(data[at++]);
  while (at < data.size()) input.answers.push_back(take(data[at++]));
  return input;
}

inline std::string EncodeIdentifyInput(std::uint8_t versionSelector, std::string_view productId,
                                       const std::vector<std::string>& answers) {
  std::string out;
  out.push_back(static_cast<char>(versionSelector));
  out.push_back(static_cast<char>(std::min<std::size_t>(productId.size(), 255)));
  out.append(productId.substr(0, 255));
  for (const auto& answer : answers) {
    const std::string_view a = std::string_view(answer).substr(0, 255);
    out.push_back(static_cast<char>(a.size()));
    out.append(a);
  }
  return out;
}

}  // namespace zorbent::fuzz

#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/update_engine.h"

namespace zorbent::fuzz {

// A broken promise of the code under test: libFuzzer keeps the input that caused it.
inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline bool OneOf(std::int32_t value, std::initializer_list<std::int32_t> allowed) {
  return std::ranges::find(allowed, value) != allowed.end();
}

// What the engine reported. Every text is copied up to its NUL, which ASan proves is there.
struct Reports {
  int texts = 0;
  std::string first, last;
  int progress = 0;
  std::intptr_t lastProgress = 0;

  static void Callback(void* context, std::int32_t kind, std::intptr_t value) {
    auto* self = static_cast<Reports*>(context);
    if (kind == kReportText) {
      Require(value != 0, "text report without text");
      self->last = reinterpret_cast<const char*>(value);
      if (self->texts++ == 0) self->first = self->last;
    } else if (kind == kReportProgress) {
      ++self->progress;
      self->lastProgress = value;
    }
  }
};

// An identify input: [file version selector] [n] [n bytes product ID] then answers as [length]
// [bytes]..., each cut at the input's end. The versions lie on both sides of the gate thresholds.
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
  std::string out(1, static_cast<char>(versionSelector));
  auto put = [&](std::string_view field) {
    field = field.substr(0, 255);
    out.push_back(static_cast<char>(field.size()));
    out.append(field);
  };
  put(productId);
  for (const auto& answer : answers) put(answer);
  return out;
}

}  // namespace zorbent::fuzz

#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "engine/update_engine.h"

namespace zorbent::fuzz {

// A broken promise of the code under test: libFuzzer keeps the input that caused it.
inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline bool OneOf(std::int32_t value, std::initializer_list<std::int32_t> allowed) {
  for (const auto a : allowed)
    if (a == value) return true;
  return false;
}

// What the engine reported. Every text is copied up to its NUL, which ASan proves is there.
struct Reports {
  int texts = 0;
  std::string first;
  std::string last;
  int progress = 0;
  std::intptr_t lastProgress = 0;

  static void Callback(void* context, std::int32_t kind, std::intptr_t value) {
    auto* self = static_cast<Reports*>(context);
    if (kind == kReportText) {
      Require(value != 0, "text report without text");
      self->last = reinterpret_cast<const char*>(value);
      if (self->texts++ == 0) self->first = self->last;
    } else {
      ++self->progress;
      self->lastProgress = value;
    }
  }
};

}  // namespace zorbent::fuzz

#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorbent::fuzz {

// A broken promise of the code under test: libFuzzer keeps the input that caused it.
inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// Every text report must be NUL-terminated; strlen under ASan proves it.
inline void CheckReport(int kind, const void* text) {
  if (kind == 0) {
    Require(text != nullptr, "text report without text");
    (void)std::strlen(static_cast<const char*>(text));
  }
}

}  // namespace zorbent::fuzz

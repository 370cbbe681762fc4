// Shared by the fuzz targets: a check that stops the run at the first broken
// property, so that libFuzzer records the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/text.h"

#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      __builtin_trap();                                                                        \
    }                                                                                          \
  } while (0)

namespace fuzz {

// The fuzzer's bytes as program text (UTF-8 bytes on POSIX, where the targets
// run).
inline Text ToText(const uint8_t* data, size_t size) {
  return Text(reinterpret_cast<const char*>(data), size);
}

inline bool StartsWith(const Text& s, const Text& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

inline bool EndsWith(const Text& s, const Text& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

inline bool Contains(const Text& haystack, const Text& needle) {
  return haystack.find(needle) != Text::npos;
}

}  // namespace fuzz

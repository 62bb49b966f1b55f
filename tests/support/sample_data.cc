#include "tests/support/sample_data.h"

#include <cstdio>

std::string mixed_sample(std::size_t len, unsigned seed) {
  std::string out;
  out.reserve(len + 256);
  unsigned long long x = 0x9e3779b97f4a7c15ULL ^ seed;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  while (out.size() < len) {
    const unsigned kind = next() % 4;
    if (kind == 0) {
      for (int i = 0; i < 16 && out.size() < len; ++i) out.push_back(static_cast<char>(next()));
    } else {
      char line[128];
      const int n = std::snprintf(line, sizeof line, "row %llu|customer-%llu|%s|%llu.%02llu\n", next() % 100000,
                                  next() % 977, kind == 1 ? "ACTIVE" : "closed", next() % 10000, next() % 100);
      out.append(line, static_cast<std::size_t>(n));
    }
  }
  out.resize(len);
  return out;
}

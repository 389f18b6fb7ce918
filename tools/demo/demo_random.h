#pragma once
// The demo directory's random numbers: SplitMix64, with bounded draws by
// multiplication. Written out here rather than taken from <random>, whose
// distributions differ between standard libraries: a seed must give the
// same directory on every machine.

#include <cstdint>
#include <string>
#include <vector>

namespace demo {

class TDemoRandom {
 public:
  explicit TDemoRandom(uint64_t seed) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in 0 .. n - 1 (0 when n is 0).
  uint32_t Below(uint32_t n) { return uint32_t((uint64_t(uint32_t(Next() >> 32)) * n) >> 32); }
  // Uniform in lo .. hi.
  int Between(int lo, int hi) { return lo + int(Below(uint32_t(hi - lo + 1))); }
  bool Percent(uint32_t percent) { return Below(100) < percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(uint32_t(items.size()))];
  }

 private:
  uint64_t state_;
};

}  // namespace demo

// Uniform random numbers; callable from any thread (one engine per thread).
#pragma once

#include <cstdint>

namespace vel {

class RandomGenerator {
 public:
  // A uniform draw from [min, max], both included. REQUIRES: min <= max.
  static std::int64_t GenerateNumber(std::int64_t min, std::int64_t max);
};

}  // namespace vel

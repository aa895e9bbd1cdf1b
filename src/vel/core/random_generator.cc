#include "vel/core/random_generator.h"

#include <glog/logging.h>

#include <random>

namespace vel {

std::int64_t RandomGenerator::GenerateNumber(std::int64_t min,
                                             std::int64_t max) {
  CHECK_LE(min, max);
  thread_local std::mt19937_64 engine{std::random_device{}()};
  return std::uniform_int_distribution<std::int64_t>(min, max)(engine);
}

}  // namespace vel

// Stops the host's Redis client and its I/O groups (whose threads run the
// completions) when a test program ends, as the host does at shutdown.
// Including this header registers it once per test program.
#pragma once

#include <gtest/gtest.h>

#include "vel/core/io_service.h"
#include "vel/redis/redis.h"

namespace plemox_test {

class RedisEnvironment : public testing::Environment {
 public:
  void TearDown() override {
    vel::Redis::Finalize();
    vel::IoService::StopAll();
  }
};

inline testing::Environment* const the_redis_environment =
    testing::AddGlobalTestEnvironment(new RedisEnvironment);

}  // namespace plemox_test

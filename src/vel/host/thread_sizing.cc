#include "vel/host/thread_sizing.h"

#include <glog/logging.h>
#include <sched.h>

#include <algorithm>
#include <thread>

#include "vel/core/host_flags.h"

namespace vel {
namespace {

// Sets *flag to `sized` when it is 0; returns how the value came about.
const char* Size(std::int32_t* flag, int sized) {
  if (*flag != 0) return "given";
  *flag = sized;
  return "from the cores";
}

}  // namespace

int ThreadSizing::CoreCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    return std::max(1, CPU_COUNT(&set));
  }
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

bool ThreadSizing::Apply() {
  if (FLAGS_internal_threads_size < 0 || FLAGS_redis_async_threads_size < 0) {
    LOG(ERROR) << "Thread counts must not be negative: internal_threads_size="
               << FLAGS_internal_threads_size << ", redis_async_threads_size="
               << FLAGS_redis_async_threads_size;
    return false;
  }
  const int cores = CoreCount();
  const char* event = Size(&FLAGS_event_threads_size, cores);
  const char* internal =
      Size(&FLAGS_internal_threads_size, std::max(1, cores / 2));
  const char* redis = Size(&FLAGS_redis_async_threads_size, cores);
  LOG(INFO) << "Thread groups for " << cores << " cores: event threads "
            << FLAGS_event_threads_size << " (" << event
            << "), internal threads " << FLAGS_internal_threads_size << " ("
            << internal << "), Redis and cache threads "
            << FLAGS_redis_async_threads_size << " per group (" << redis << ")";
  return true;
}

}  // namespace vel

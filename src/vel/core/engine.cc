#include "vel/core/engine.h"

#include <condition_variable>
#include <mutex>

#include "vel/core/host_flags.h"

namespace vel {
namespace {

std::mutex the_shutdown_mutex;
std::condition_variable the_shutdown_cv;
bool the_shutdown_requested = false;  // GUARDED_BY(the_shutdown_mutex)

}  // namespace

std::string GetResRoot() {
  std::string root = FLAGS_res_root.empty() ? "." : FLAGS_res_root;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

void SetToShutDownEngine() {
  {
    std::lock_guard<std::mutex> lock(the_shutdown_mutex);
    the_shutdown_requested = true;
  }
  the_shutdown_cv.notify_all();
}

void WaitForShutdown() {
  std::unique_lock<std::mutex> lock(the_shutdown_mutex);
  the_shutdown_cv.wait(lock, [] { return the_shutdown_requested; });
}

bool IsShutdownRequested() {
  std::lock_guard<std::mutex> lock(the_shutdown_mutex);
  return the_shutdown_requested;
}

}  // namespace vel

#include "vel/core/engine.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "vel/core/host_flags.h"

namespace vel {
namespace {

std::mutex the_shutdown_mutex;
std::condition_variable the_shutdown_cv;
bool the_shutdown_requested = false;  // GUARDED_BY(the_shutdown_mutex)
std::mutex the_exit_report_mutex;
std::function<std::string()>
    the_exit_report;  // GUARDED_BY(the_exit_report_mutex)

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

void SetImmediateExitReport(std::function<std::string()> report) {
  std::lock_guard<std::mutex> lock(the_exit_report_mutex);
  the_exit_report = std::move(report);
}

std::string ImmediateExitReport() {
  std::lock_guard<std::mutex> lock(the_exit_report_mutex);
  return the_exit_report ? the_exit_report() : std::string();
}

bool IsShutdownRequested() {
  std::lock_guard<std::mutex> lock(the_shutdown_mutex);
  return the_shutdown_requested;
}

}  // namespace vel

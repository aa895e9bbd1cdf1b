// LoadGenerator: the fixed-rate (open-loop) measured run. One thread, the
// caller's, paces the schedule and sends each request when it is due; the
// answers end on the connections' I/O threads and never hold the schedule
// back.
#include <glog/logging.h>

#include <algorithm>
#include <thread>

#include "client/load_generator/load_generator.h"
#include "client/load_generator/load_generator_schedule.h"

namespace plemox {

constexpr std::chrono::milliseconds LoadGenerator::kLateAfter;

void LoadGenerator::RunFixedRate(Report* report,
                                 const ProgressCallback& progress) {
  started_ = 0;
  in_flight_ = 0;
  stopping_ = false;
  const Clock::time_point start = Clock::now();
  const LoadGeneratorSchedule schedule(
      options_.rate, static_cast<int>(workers_.size()), start,
      options_.duration, options_.max_requests);
  report->fixed_rate = true;
  report->offered_rate = options_.rate;
  report->max_outstanding = options_.max_outstanding;
  report->scheduled = schedule.size();

  Clock::time_point next_progress = start + options_.progress_interval;
  Progress previous;
  uint64_t next = 0;
  while (next < schedule.size()) {
    if (AllConnectionsLost()) {
      report->abandoned = schedule.size() - next;
      LOG(WARNING) << "Load generator: every connection is lost; the "
                   << report->abandoned
                   << " remaining requests of the schedule are not sent";
      break;
    }
    // Everything due by now goes out at once: a pacer that fell behind
    // catches up instead of shifting the schedule, and the lateness stays
    // in the latencies.
    const uint64_t due = schedule.DueBy(Clock::now());
    for (; next < due; ++next) {
      Dispatch(workers_[schedule.ConnectionOf(next)].get(),
               schedule.DueAt(next), report);
    }
    ReportProgress(start, progress, &next_progress, &previous);
    if (next < schedule.size()) {
      std::this_thread::sleep_until(
          std::min(schedule.DueAt(next), next_progress));
    }
  }
  stopping_ = true;
  Drain(start, progress, &next_progress, &previous);
  report->elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      Clock::now() - start);
  CollectReport(report);
}

void LoadGenerator::Drain(Clock::time_point start,
                          const ProgressCallback& progress,
                          Clock::time_point* next_progress,
                          Progress* previous) {
  // Every request ends by its timeout; the margin covers the timer's own
  // lateness.
  const auto drain_limit = options_.timeout + std::chrono::seconds(2);
  const Clock::time_point drain_deadline = Clock::now() + drain_limit;
  bool closed = false;
  std::unique_lock<std::mutex> lock(done_mutex_);
  while (in_flight_.load() != 0) {
    if (!closed && Clock::now() >= drain_deadline) {
      LOG(ERROR) << "Load generator: requests still outstanding "
                 << drain_limit.count() << " ms after the stop; closing";
      closed = true;
      // Callbacks take done_mutex_, so it must not be held here.
      lock.unlock();
      CloseConnections();
      lock.lock();
      continue;
    }
    done_.wait_until(lock, closed ? *next_progress
                                  : std::min(*next_progress, drain_deadline));
    lock.unlock();
    ReportProgress(start, progress, next_progress, previous);
    lock.lock();
  }
}

}  // namespace plemox

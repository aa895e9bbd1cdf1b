#include "vel/core/raw_timer.h"

#include <glog/logging.h>

#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "vel/core/io_service.h"
#include "vel/core/monotonic_clock.h"

namespace vel {
namespace {

constexpr char kTimerGroup[] = "timer";

struct TimerState {
  TimerState(IoService::Context& context, RawTimer::TimerId id,
             std::int64_t period_us, RawTimer::Callback callback)
      : timer(context),
        id(id),
        period_us(period_us),
        callback(std::move(callback)) {}
  boost::asio::steady_timer timer;
  const RawTimer::TimerId id;
  const std::int64_t period_us;  // 0 for one-shot timers.
  const RawTimer::Callback callback;
};

std::mutex the_timer_mutex;
std::shared_ptr<IoService::Context> the_timer_context;  // GUARDED_BY(mutex)
std::map<RawTimer::TimerId, std::shared_ptr<TimerState>>
    the_timers;                     // GUARDED_BY(the_timer_mutex)
RawTimer::TimerId the_next_id = 1;  // GUARDED_BY(the_timer_mutex)

void Arm(const std::shared_ptr<TimerState>& state, std::int64_t delay_us);

void OnExpired(const std::weak_ptr<TimerState>& weak,
               const boost::system::error_code& error) {
  if (error) return;  // Cancelled.
  auto state = weak.lock();
  if (!state) return;
  {
    std::lock_guard<std::mutex> lock(the_timer_mutex);
    auto it = the_timers.find(state->id);
    if (it == the_timers.end()) return;  // Cancelled while queued.
    if (state->period_us == 0) the_timers.erase(it);
  }
  state->callback(state->id, MonotonicClock::Now());
  if (state->period_us > 0) {
    std::lock_guard<std::mutex> lock(the_timer_mutex);
    if (the_timers.count(state->id) != 0) Arm(state, state->period_us);
  }
}

// REQUIRES: the_timer_mutex held, or `state` not yet published.
void Arm(const std::shared_ptr<TimerState>& state, std::int64_t delay_us) {
  state->timer.expires_after(std::chrono::microseconds(delay_us));
  state->timer.async_wait(
      [weak = std::weak_ptr<TimerState>(state)](
          const boost::system::error_code& error) { OnExpired(weak, error); });
}

RawTimer::TimerId Schedule(std::int64_t delay_us, std::int64_t period_us,
                           RawTimer::Callback callback) {
  std::lock_guard<std::mutex> lock(the_timer_mutex);
  if (!the_timer_context) {
    LOG(ERROR) << "Timer threads are not running; timer dropped";
    return RawTimer::kInvalidTimerId;
  }
  const RawTimer::TimerId id = the_next_id++;
  auto state = std::make_shared<TimerState>(*the_timer_context, id, period_us,
                                            std::move(callback));
  the_timers.emplace(id, state);
  Arm(state, delay_us < 0 ? 0 : delay_us);
  return id;
}

}  // namespace

bool RawTimer::Start(int thread_count) {
  std::lock_guard<std::mutex> lock(the_timer_mutex);
  if (the_timer_context) return false;
  the_timer_context = IoService::GetOrCreateIoGroup(
      kTimerGroup, thread_count > 0 ? thread_count : 1);
  return the_timer_context != nullptr;
}

void RawTimer::Stop() {
  std::map<TimerId, std::shared_ptr<TimerState>> timers;
  {
    std::lock_guard<std::mutex> lock(the_timer_mutex);
    timers.swap(the_timers);
    the_timer_context.reset();
  }
  for (auto& [id, state] : timers) state->timer.cancel();
}

RawTimer::TimerId RawTimer::ExpireAfter(std::int64_t delay_us,
                                        Callback callback) {
  return Schedule(delay_us, 0, std::move(callback));
}

RawTimer::TimerId RawTimer::ExpireRepeatedly(std::int64_t period_us,
                                             Callback callback) {
  CHECK_GT(period_us, 0) << "A repeating timer needs a positive period";
  return Schedule(period_us, period_us, std::move(callback));
}

bool RawTimer::Cancel(TimerId id) {
  std::shared_ptr<TimerState> state;
  {
    std::lock_guard<std::mutex> lock(the_timer_mutex);
    auto it = the_timers.find(id);
    if (it == the_timers.end()) return false;
    state = std::move(it->second);
    the_timers.erase(it);
    // Cancel under the lock: Arm() re-arms repeating timers under it too.
    state->timer.cancel();
  }
  return true;
}

}  // namespace vel

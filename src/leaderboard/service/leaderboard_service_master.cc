// The master election: servers that share one Redis elect the one that
// performs the scheduled resets through the key "LEADERBOARD_MASTER", which
// holds the master's identity and expires unless the master renews it. The
// election is an endless chain of asynchronous Redis calls and one-second
// timers; every turn schedules the reset check with the master flag.
//
// Shutdown ends the chain: StopMasterElection marks it stopped, cancels its
// pending timers and waits for a step that is running, so that no step or
// reset check reaches the database connection once it is released.
#include <glog/logging.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "common/leaderboard_assert.h"
#include "leaderboard/service/internal/master_election.h"
#include "leaderboard/service/leaderboard_service.h"
#include "vel/core/raw_timer.h"
#include "vel/redis/redis.h"

namespace plemox {
namespace {

constexpr char kMasterKey[] = "LEADERBOARD_MASTER";
constexpr std::int64_t kMasterKeyLifetimeSeconds = 5;
constexpr std::int64_t kRetryDelayUs = 1000000;
// How long shutdown waits for a running step before it goes on anyway.
constexpr std::chrono::seconds kStopWaitLimit(10);

std::mutex the_chain_mutex;
std::condition_variable the_chain_idle;
bool the_chain_stopped = false;               // GUARDED_BY(the_chain_mutex)
int the_running_steps = 0;                    // GUARDED_BY(the_chain_mutex)
std::set<vel::RawTimer::TimerId> the_timers;  // GUARDED_BY(the_chain_mutex)
// Written by the chain only; read by logs and tests through master_info().
std::string the_master_info;  // GUARDED_BY(the_chain_mutex)

// Marks one step of the chain as running for its lifetime, unless the chain
// has stopped (then `entered()` is false and the step must do nothing).
class ChainStep {
 public:
  ChainStep() {
    std::lock_guard<std::mutex> lock(the_chain_mutex);
    entered_ = !the_chain_stopped;
    if (entered_) ++the_running_steps;
  }
  ~ChainStep() {
    if (!entered_) return;
    std::lock_guard<std::mutex> lock(the_chain_mutex);
    if (--the_running_steps == 0) the_chain_idle.notify_all();
  }
  ChainStep(const ChainStep&) = delete;
  ChainStep& operator=(const ChainStep&) = delete;
  bool entered() const { return entered_; }

 private:
  bool entered_ = false;
};

// Runs `step` after one second on a timer thread, unless the chain stops
// first.
void AfterOneSecond(std::function<void()> step) {
  std::lock_guard<std::mutex> lock(the_chain_mutex);
  if (the_chain_stopped) return;
  const vel::RawTimer::TimerId id = vel::RawTimer::ExpireAfter(
      kRetryDelayUs,
      [step = std::move(step)](vel::RawTimer::TimerId id, std::int64_t) {
        {
          std::lock_guard<std::mutex> lock(the_chain_mutex);
          the_timers.erase(id);
        }
        ChainStep running;
        if (running.entered()) step();
      });
  if (id != vel::RawTimer::kInvalidTimerId) the_timers.insert(id);
}

void ScheduleResetCheck(bool is_master) {
  AfterOneSecond([is_master] { service_internal::CheckResetTime(is_master); });
}

bool IsFailure(vel::Redis::Result result) {
  return result == vel::Redis::kError ||
         result == vel::Redis::kConnectionFailure;
}

std::string MasterInfo() {
  std::lock_guard<std::mutex> lock(the_chain_mutex);
  return the_master_info;
}

void SetMasterInfo(const std::string& info) {
  std::lock_guard<std::mutex> lock(the_chain_mutex);
  the_master_info = info;
}

using service_internal::GetMaster;

// The steps of the chain after GetMaster (Redis completion and timer
// threads). Each ends by starting a Redis call or timers, never by waiting;
// a Redis failure is logged and the step retried after one second.
// On the master key read: elect when there is none, refresh it when it names
// this server, else run the reset check as follower and read it again.
void OnMasterGot(vel::Redis::Result result, const std::string& value);
// Sets the master key to this server unless another server holds it.
void Elect();
// On the conditional set: when it set the key this server is master and
// refreshes it; otherwise it goes on as a follower.
void OnElected(vel::Redis::Result result);
// Renews the master key's lifetime.
void Refresh();
// On the renewal: when the key still existed, schedules the reset check as
// master; in every case reads the key again after one second.
void OnRefreshed(vel::Redis::Result result, bool key_existed);

}  // namespace

void service_internal::GetMaster() {
  ChainStep running;
  if (!running.entered()) return;
  vel::Redis::GetAsync(kMasterKey, &OnMasterGot, "");
}

namespace {

void OnMasterGot(vel::Redis::Result result, const std::string& value) {
  ChainStep running;
  if (!running.entered()) return;
  const std::string& self = LeaderboardService::self_master_info();
  if (IsFailure(result)) {
    LOG(ERROR) << "Failed to get the master information. Retrying..."
               << ": Redis result=" << result << ", info=" << self;
    AfterOneSecond(&GetMaster);
    return;
  }
  if (result == vel::Redis::kNoValue) {
    LOG(INFO) << "The Redis master key does not exists, Electing the master"
              << ": info=" << self;
    Elect();
    return;
  }
  VLOG(2) << "Succeed to get the master information"
          << ": info=" << value;
  if (value != MasterInfo()) {
    SetMasterInfo(value);
    LOG(INFO) << "New master elected"
              << ": " << value;
  }
  if (value == self) {
    VLOG(2) << "The master has re-elected. Refreshing the expiration time"
            << ": info=" << value;
    Refresh();
    return;
  }
  ScheduleResetCheck(false);
  AfterOneSecond(&GetMaster);
}

void Elect() {
  ChainStep running;
  if (!running.entered()) return;
  const std::string& the_self_master_info =
      LeaderboardService::self_master_info();
  // clang-format off
  LEADERBOARD_ASSERT(! the_self_master_info.empty());
  // clang-format on
  VLOG(2) << "Electing the master"
          << ": info=" << the_self_master_info;
  vel::Redis::SetAsync(kMasterKey, the_self_master_info,
                       vel::Redis::kExpireSeconds, kMasterKeyLifetimeSeconds,
                       vel::Redis::kSetIfNotExists, &OnElected, "");
}

void OnElected(vel::Redis::Result result) {
  ChainStep running;
  if (!running.entered()) return;
  const std::string& self = LeaderboardService::self_master_info();
  if (IsFailure(result)) {
    LOG(ERROR) << "The master election failed"
               << ": Redis result=" << result << ", info=" << self;
    AfterOneSecond(&Elect);
    return;
  }
  if (result == vel::Redis::kNoValue) {
    LOG(INFO) << "Failed to become the master. Getting the master information"
              << ": info=" << self;
    ScheduleResetCheck(false);
    AfterOneSecond(&GetMaster);
    return;
  }
  SetMasterInfo(self);
  LOG(INFO) << "The master has elected. Refreshing the expiration time"
            << ": info=" << self;
  Refresh();
}

void Refresh() {
  ChainStep running;
  if (!running.entered()) return;
  vel::Redis::ExpireAsync(kMasterKey, kMasterKeyLifetimeSeconds, &OnRefreshed,
                          "");
}

void OnRefreshed(vel::Redis::Result result, bool key_existed) {
  ChainStep running;
  if (!running.entered()) return;
  if (IsFailure(result)) {
    LOG(ERROR) << "Failed to get the master information. Retrying..."
               << ": Redis result=" << result
               << ", info=" << LeaderboardService::self_master_info();
    AfterOneSecond(&GetMaster);
    return;
  }
  if (key_existed) {
    VLOG(2) << "Succeed to refresh the master key expiration time"
            << ": info=" << MasterInfo();
    ScheduleResetCheck(true);
    AfterOneSecond(&GetMaster);
    return;
  }
  LOG(INFO) << "The master key is expired. Getting master info"
            << ": info=" << LeaderboardService::self_master_info();
  AfterOneSecond(&GetMaster);
}

}  // namespace

void service_internal::StopMasterElection() {
  std::set<vel::RawTimer::TimerId> timers;
  {
    std::unique_lock<std::mutex> lock(the_chain_mutex);
    if (the_chain_stopped) return;
    the_chain_stopped = true;
    timers.swap(the_timers);
  }
  for (const auto id : timers) vel::RawTimer::Cancel(id);
  std::unique_lock<std::mutex> lock(the_chain_mutex);
  if (!the_chain_idle.wait_for(lock, kStopWaitLimit,
                               [] { return the_running_steps == 0; })) {
    LOG(WARNING) << "The master election did not stop in time"
                 << ": running steps=" << the_running_steps;
  }
}

std::string LeaderboardService::master_info() { return MasterInfo(); }

}  // namespace plemox

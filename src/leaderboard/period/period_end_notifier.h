// PeriodEndNotifier: delivers the pending period-end notifications to
// --period_end_webhook_url, on threads of its own (libcurl blocks; up to
// --period_end_webhook_concurrency deliveries at once, so that one slow
// answer does not hold the others back), while this server is master;
// whichever server is master delivers what is pending, so a notification
// outlives a crash or a failover.
//
// Delivery is at least once: an attempt first takes the notification in the
// database (its next attempt moves past the attempt's timeout, so no other
// server sends it meanwhile), then POSTs it; a 2xx answer marks it
// delivered. Otherwise it is tried again after 1, 2, 4, ... seconds
// (doubling, at most kMaxBackoffMs), until --period_end_webhook_max_attempts
// attempts have failed; then it stays in the table marked failed with its
// last error, until the HTTP API sends it again. A server that dies after
// the receiver accepted but before it was marked makes the next master send
// it again: receivers keep the idempotency key.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "database/store/period_store.h"

namespace plemox {

class PeriodEndNotifier {
 public:
  static constexpr std::int64_t kFirstBackoffMs = 1000;
  static constexpr std::int64_t kMaxBackoffMs = 600000;

  // This server's counts and the table's last known counts, for /metrics.
  struct Counts {
    std::uint64_t attempts = 0;   // POSTs sent
    std::uint64_t delivered = 0;  // answered 2xx
    std::uint64_t failed = 0;     // given up after the last attempt
    // Notifications per state in the table ("waiting", "pending",
    // "delivered", "failed") at the last look (every few seconds).
    std::map<std::string, std::int64_t> table;
  };

  // The wait before attempt `attempts` + 1 after `attempts` failed ones:
  // kFirstBackoffMs doubled per further attempt, at most kMaxBackoffMs.
  static std::int64_t BackoffMs(int attempts);

  // `is_master` tells whether this server delivers now. Constructs stopped.
  PeriodEndNotifier(std::shared_ptr<PeriodStore> store,
                    std::function<bool()> is_master);
  ~PeriodEndNotifier();  // Stops.
  PeriodEndNotifier(const PeriodEndNotifier&) = delete;
  PeriodEndNotifier& operator=(const PeriodEndNotifier&) = delete;

  // Starts `threads` delivery threads (at least one). Start-up thread.
  void Start(std::size_t threads = 1);
  // Ends the threads after the attempts in progress (bounded by the webhook
  // timeout). Shutdown thread; idempotent.
  void Stop();
  // Looks for due notifications now (one became pending, or this server
  // became master). Any thread.
  void Wake();

  Counts counts() const;

 private:
  // `counting`: this thread also refreshes the table's counts.
  void Run(bool counting);
  // Delivers the notifications due now that no other thread of this server
  // is delivering; returns how long to wait before looking again
  // (milliseconds).
  std::int64_t DeliverDue();
  void Deliver(const PeriodStore::DueNotification& notification);
  void RefreshTableCounts();

  const std::shared_ptr<PeriodStore> store_;
  const std::function<bool()> is_master_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // GUARDED_BY(mutex_)
  // Wake() calls so far; each thread looks again when it changes.
  std::uint64_t wakes_ = 0;  // GUARDED_BY(mutex_)
  // The notifications this server's threads are delivering.
  std::set<std::uint64_t> in_flight_;  // GUARDED_BY(mutex_)
  Counts counts_;                      // GUARDED_BY(mutex_)
  std::vector<std::thread> threads_;
};

}  // namespace plemox

// PeriodEndNotifier: the delivery thread.
#include "leaderboard/period/period_end_notifier.h"

#include <glog/logging.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "common/leaderboard_flags.h"
#include "leaderboard/period/webhook_client.h"
#include "vel/core/monotonic_clock.h"

namespace plemox {
namespace {

// Notifications sent per look at the table.
constexpr std::size_t kDueBatch = 20;
// The longest wait between two looks, and between two readings of the
// table's counts.
constexpr std::int64_t kLookIntervalMs = 2000;
constexpr std::int64_t kCountIntervalUs = 5000000;
// The wait before looking again after a full batch that other threads were
// also delivering: they may have taken the rest.
constexpr std::int64_t kBusyLookMs = 50;
// What an attempt holds a notification for beyond its own timeouts.
constexpr std::int64_t kClaimMarginMs = 10000;

}  // namespace

std::int64_t PeriodEndNotifier::BackoffMs(int attempts) {
  std::int64_t delay = kFirstBackoffMs;
  for (int i = 1; i < attempts && delay < kMaxBackoffMs; ++i) delay *= 2;
  return std::min(delay, kMaxBackoffMs);
}

PeriodEndNotifier::PeriodEndNotifier(std::shared_ptr<PeriodStore> store,
                                     std::function<bool()> is_master)
    : store_(std::move(store)), is_master_(std::move(is_master)) {}

PeriodEndNotifier::~PeriodEndNotifier() { Stop(); }

void PeriodEndNotifier::Start(std::size_t threads) {
  for (std::size_t i = 0; i < std::max<std::size_t>(1, threads); ++i) {
    threads_.emplace_back([this, i] { Run(i == 0); });
  }
}

void PeriodEndNotifier::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
}

void PeriodEndNotifier::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakes_;
  }
  wake_.notify_all();
}

PeriodEndNotifier::Counts PeriodEndNotifier::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

void PeriodEndNotifier::Run(bool counting) {
  std::int64_t wait_ms = 0;
  std::int64_t next_count = 0;
  // Starts as woken: a new master delivers what is pending at once.
  std::uint64_t seen_wakes = ~std::uint64_t{0};
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                     [&] { return stopping_ || wakes_ != seen_wakes; });
      if (stopping_) return;
      seen_wakes = wakes_;
    }
    wait_ms = kLookIntervalMs;
    if (is_master_()) wait_ms = DeliverDue();
    if (counting && vel::MonotonicClock::Now() >= next_count) {
      RefreshTableCounts();
      next_count = vel::MonotonicClock::Now() + kCountIntervalUs;
    }
  }
}

std::int64_t PeriodEndNotifier::DeliverDue() {
  std::vector<PeriodStore::DueNotification> due;
  if (!store_->FindDueNotifications(kDueBatch, &due)) return kLookIntervalMs;
  bool skipped = false;
  for (const auto& notification : due) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return 0;
      // Another thread of this server holds it (its batch overlaps).
      if (!in_flight_.insert(notification.notification_id).second) {
        skipped = true;
        continue;
      }
    }
    if (is_master_()) Deliver(notification);
    std::lock_guard<std::mutex> lock(mutex_);
    in_flight_.erase(notification.notification_id);
    if (!is_master_()) return kLookIntervalMs;
  }
  if (due.size() == kDueBatch && !skipped) return 0;
  if (due.size() == kDueBatch) return kBusyLookMs;
  const auto next = store_->MillisecondsToNextDue();
  return next ? std::min(*next, kLookIntervalMs) : kLookIntervalMs;
}

void PeriodEndNotifier::Deliver(
    const PeriodStore::DueNotification& notification) {
  const std::int64_t connect_ms =
      static_cast<std::int64_t>(FLAGS_period_end_webhook_connect_timeout_ms);
  const std::int64_t timeout_ms =
      static_cast<std::int64_t>(FLAGS_period_end_webhook_timeout_ms);
  if (!store_->ClaimNotification(notification.notification_id,
                                 timeout_ms + kClaimMarginMs)) {
    return;  // Another server took it, or the table cannot be written.
  }
  const int attempt = notification.attempts + 1;
  const WebhookClient::Outcome outcome = WebhookClient::Post(
      FLAGS_period_end_webhook_url, notification.document,
      notification.idempotency_key, FLAGS_period_end_webhook_secret, connect_ms,
      timeout_ms);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.attempts;
    if (outcome.delivered) ++counts_.delivered;
  }
  if (outcome.delivered) {
    LOG(INFO) << "Period-end notification delivered"
              << ": idempotency key=" << notification.idempotency_key
              << ", attempt=" << attempt << ", status=" << outcome.status;
    store_->MarkDelivered(notification.notification_id);
    return;
  }
  const std::string error =
      "attempt " + std::to_string(attempt) + ": " + outcome.error;
  if (attempt >=
      static_cast<std::int64_t>(FLAGS_period_end_webhook_max_attempts)) {
    LOG(ERROR) << "Period-end notification failed; no attempt is left"
               << ": idempotency key=" << notification.idempotency_key << ", "
               << error;
    if (store_->MarkFailed(notification.notification_id, error)) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counts_.failed;
    }
    return;
  }
  const std::int64_t delay_ms = BackoffMs(attempt);
  LOG(WARNING) << "Period-end notification not delivered; trying again"
               << ": idempotency key=" << notification.idempotency_key << ", "
               << error << ", next in ms=" << delay_ms;
  store_->ScheduleRetry(notification.notification_id, delay_ms, error);
}

void PeriodEndNotifier::RefreshTableCounts() {
  std::map<std::string, std::int64_t> table;
  if (!store_->CountNotifications(&table)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  counts_.table = std::move(table);
}

}  // namespace plemox

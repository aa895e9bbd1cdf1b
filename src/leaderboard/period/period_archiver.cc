// PeriodArchiver: the archiving thread.
#include "leaderboard/period/period_archiver.h"

#include <glog/logging.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "common/date_time_text.h"
#include "common/leaderboard_flags.h"
#include "database/cache/redis_key.h"
#include "database/cache/running_rank.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/reset_schedule.h"
#include "leaderboard/period/period_retention.h"
#include "vel/core/json.h"
#include "vel/core/monotonic_clock.h"
#include "vel/redis/redis.h"

namespace plemox {
namespace {

using Request = Leaderboard::LeaderboardQuery::Request;
using vel::Redis;

constexpr std::int64_t kSecondUs = 1000000;
// How often the master looks for unfinished periods, and removes expired
// ones.
constexpr std::int64_t kSweepIntervalUs = 10 * kSecondUs;
constexpr std::int64_t kExpiryIntervalUs = 600 * kSecondUs;
// How often a long archiving renews its lease (well inside kLeaseSeconds).
constexpr std::int64_t kRenewIntervalUs = 15 * kSecondUs;
// Unfinished periods taken over per sweep; periods expired per statement.
constexpr std::size_t kTakeOverBatch = 100;
constexpr std::size_t kExpiryBatch = 100;
// Delivered notifications are kept this many days for the record.
constexpr int kDeliveredNotificationDays = 30;
// Attempts, a second apart, to mark a closed ranking before its archiving
// is left to a take-over.
constexpr int kMarkerAttempts = 30;

// The period-end notification's document.
std::string MakeDocument(const PeriodStore::ClaimedPeriod& period,
                         std::int64_t player_count,
                         const std::vector<ArchivedStanding>& top) {
  const PeriodEnd& end = period.end;
  vel::Json document = vel::Json::MakeObject();
  document.Set("idempotency_key", end.idempotency_key);
  document.Set("leaderboard_id", end.leaderboard_id);
  document.Set("period", end.period);
  document.Set("reset", end.reset);
  document.Set("period_start", DateTimeToCompactText(end.calendar_start));
  document.Set("period_end", DateTimeToCompactText(end.end));
  document.Set("total_player_count", player_count);
  vel::Json entries = vel::Json::MakeArray();
  for (const ArchivedStanding& standing : top) {
    entries.Append(PeriodArchiver::StandingToJson(standing));
  }
  document.Set("top", std::move(entries));
  return document.ToString();
}

// `bytes` in base64 (metadata may hold any bytes; JSON text may not).
std::string Base64(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                      reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// Gives the players of `top` their current display names and metadata from
// the leaderboard's profile hash, as a live query of the closed ranking
// shows them. False (logged) when Redis failed.
bool AddProfiles(const PeriodEnd& end, std::vector<ArchivedStanding>* top) {
  std::vector<std::string> members;
  for (const ArchivedStanding& standing : *top) {
    members.push_back(MakeMemberKey(
        vel::PlayerAccount(standing.service_provider, standing.local_account)));
  }
  std::vector<std::string> packed;
  const std::string key = MakeLeaderboardProfileKey(end.leaderboard_id);
  const Redis::Result result = Redis::HMGet(key, members, &packed);
  if (result != Redis::kSuccess) {
    LOG(ERROR) << "Period archive: failed to read the players' names"
               << ": key=" << key << ", result=" << Redis::ResultName(result);
    return false;
  }
  for (std::size_t i = 0; i < packed.size() && i < top->size(); ++i) {
    ArchivedStanding& standing = (*top)[i];
    if (!packed[i].empty()) {
      UnpackProfile(packed[i], &standing.display_name, &standing.metadata);
    }
  }
  return true;
}

}  // namespace

vel::Json PeriodArchiver::StandingToJson(const ArchivedStanding& standing) {
  vel::Json entry = vel::Json::MakeObject();
  entry.Set("position", standing.position + 1);
  entry.Set("competition_rank", standing.competition_rank);
  entry.Set("dense_rank", standing.dense_rank);
  entry.Set("score", standing.score);
  if (standing.tiebreak_score) {
    entry.Set("tiebreak_score", *standing.tiebreak_score);
  }
  entry.Set("service_provider", standing.service_provider);
  entry.Set("local_account", standing.local_account);
  entry.Set("time_stamp_ms", standing.time_stamp_ms);
  if (!standing.display_name.empty()) {
    entry.Set("display_name", standing.display_name);
  }
  if (!standing.metadata.empty()) {
    entry.Set("metadata", Base64(standing.metadata));
    entry.Set("metadata_bytes",
              static_cast<std::int64_t>(standing.metadata.size()));
  }
  return entry;
}

PeriodArchiver::PeriodArchiver(std::shared_ptr<PeriodStore> store,
                               std::string owner,
                               std::function<bool()> is_master,
                               std::function<void()> on_notification_ready)
    : store_(std::move(store)),
      owner_(std::move(owner)),
      is_master_(std::move(is_master)),
      on_notification_ready_(std::move(on_notification_ready)) {}

PeriodArchiver::~PeriodArchiver() { Stop(); }

void PeriodArchiver::Start(std::size_t threads) {
  for (std::size_t i = 0; i < std::max<std::size_t>(1, threads); ++i) {
    threads_.emplace_back([this] { Run(); });
  }
}

void PeriodArchiver::Stop() {
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

void PeriodArchiver::Archive(const PeriodEnd& end, bool rolled_over) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Job job;
    job.end = end;
    job.rolled_over = rolled_over;
    // A failed rollover marks nothing.
    job.marked = !rolled_over || end.marker_key.empty();
    jobs_.push_back(std::move(job));
  }
  wake_.notify_all();
}

void PeriodArchiver::SweepSoon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sweep_soon_ = true;
  }
  wake_.notify_all();
}

PeriodArchiver::Counts PeriodArchiver::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

bool PeriodArchiver::Stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

void PeriodArchiver::Run() {
  for (;;) {
    bool sweep = false;
    std::optional<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      job = NextJob(&lock, &sweep);
      if (stopping_) return;
    }
    if (job) {
      Process(*job);
    } else if (sweep) {
      if (is_master_()) Sweep();
      std::lock_guard<std::mutex> lock(mutex_);
      sweeping_ = false;
    }
  }
}

std::optional<PeriodArchiver::Job> PeriodArchiver::NextJob(
    std::unique_lock<std::mutex>* lock, bool* sweep) {
  wake_.wait_for(*lock, std::chrono::seconds(1), [this] {
    return stopping_ ||
           (!jobs_.empty() &&
            (jobs_.front().marked ||
             vel::MonotonicClock::Now() >= next_marker_attempt_)) ||
           (jobs_.empty() && sweep_soon_ && !sweeping_);
  });
  if (stopping_) return std::nullopt;
  if (!jobs_.empty() && !jobs_.front().marked &&
      vel::MonotonicClock::Now() >= next_marker_attempt_) {
    lock->unlock();
    WriteQueuedMarkers();
    lock->lock();
  }
  if (!jobs_.empty()) {
    if (!jobs_.front().marked) return std::nullopt;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
  }
  if (!sweeping_ &&
      (sweep_soon_ || vel::MonotonicClock::Now() >= next_sweep_)) {
    sweep_soon_ = false;
    sweeping_ = true;
    next_sweep_ = vel::MonotonicClock::Now() + kSweepIntervalUs;
    *sweep = true;
  }
  return std::nullopt;
}

void PeriodArchiver::Process(const Job& job) {
  const std::string& key = job.end.idempotency_key;
  PeriodStore::ClaimedPeriod period;
  if (!store_->ClaimPeriod(key, owner_, &period)) {
    VLOG(1) << "Period archive: not archiving a period held elsewhere or "
               "finished"
            << ": idempotency key=" << key;
    return;
  }
  if (!job.rolled_over) {
    Lose(period,
         "the rollover of the period failed in Redis; its standings stay in "
         "the current ranking");
    return;
  }
  if (!IsKeyOfLeaderboard(period.end.source_key, period.end.leaderboard_id)) {
    // Closed before a move to or from Redis Cluster: that name holds
    // nothing now, and reading it would archive an empty ranking.
    Lose(period,
         "the closed ranking was kept under a Redis key of the other key "
         "scheme (a move to or from Redis Cluster since); key=" +
             period.end.source_key);
    return;
  }
  if (job.taken_over && !period.end.marker_key.empty()) {
    // Only a ranking marked right after this period's rollover is this
    // period's: the rollover may not have happened, or a later one may have
    // replaced it.
    std::string marker;
    if (!ReadMarker(period.end, &marker)) return;
    if (marker != key) {
      Lose(period,
           "Redis no longer holds the closed ranking (its rollover did not "
           "finish, or a later one replaced it); marker=" +
               marker);
      return;
    }
  }
  LOG(INFO) << "Archiving a closed period"
            << ": leaderboard id=" << period.end.leaderboard_id
            << ", period=" << period.end.period << ", period start="
            << DateTimeToCompactText(period.end.calendar_start)
            << ", idempotency key=" << key
            << (job.taken_over ? ", taken over" : "");
  const std::int64_t started = vel::MonotonicClock::Now();
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::int64_t player_count = 0;
    std::string document;
    switch (ReadRanking(period, &player_count, &document)) {
      case ReadOutcome::kDone:
        if (!store_->FinishPeriod(period, owner_, player_count, document)) {
          LOG(WARNING) << "Period archive: the period was taken over before "
                          "it was finished"
                       << ": idempotency key=" << key;
          return;
        }
        LOG(INFO) << "The closed period is archived"
                  << ": idempotency key=" << key << ", players=" << player_count
                  << ", seconds="
                  << (vel::MonotonicClock::Now() - started) / 1e6;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++counts_.archived;
          if (period.end.keep_standings) counts_.standings += player_count;
        }
        if (period.notification_waits) on_notification_ready_();
        return;
      case ReadOutcome::kChanged:
        LOG(INFO) << "Period archive: the closed ranking changed while it "
                     "was read; reading it again"
                  << ": idempotency key=" << key;
        continue;
      case ReadOutcome::kFailed:
      case ReadOutcome::kStopped:
        // The lease runs out and the master takes the period over.
        return;
    }
  }
  Lose(period, "the closed ranking kept changing while it was read");
}

PeriodArchiver::ReadOutcome PeriodArchiver::ReadRanking(
    const PeriodStore::ClaimedPeriod& period, std::int64_t* player_count,
    std::string* document) {
  const PeriodEnd& end = period.end;
  const std::string& source = end.source_key;
  const bool keep = end.keep_standings;
  const std::size_t top_n = static_cast<std::size_t>(FLAGS_period_end_top_n);
  std::int64_t size_before = 0;
  if (Redis::ZCard(source, &size_before) != Redis::kSuccess) {
    LOG(ERROR) << "Period archive: failed to read the closed ranking's size"
               << ": key=" << source;
    return ReadOutcome::kFailed;
  }
  if (keep && !store_->DeleteStandings(period.period_id)) {
    return ReadOutcome::kFailed;
  }
  // The archive and the document hold real scores; Redis holds an
  // ascending leaderboard's negated (the numberings count the same on both).
  RankingOption option;
  RankingOptions::GetRankingOption(end.leaderboard_id, &option);
  RunningRank competition(Request::kCompetition);
  RunningRank dense(Request::kDense);
  std::vector<ArchivedStanding> top;
  std::vector<ArchivedStanding> page;
  std::int64_t position = 0;
  std::int64_t renew_at = vel::MonotonicClock::Now() + kRenewIntervalUs;
  for (;;) {
    if (Stopping()) return ReadOutcome::kStopped;
    // Periods that ended meanwhile are marked without waiting for this one.
    WriteQueuedMarkers();
    Redis::ScoredMembers members;
    if (Redis::ZRevRange(source, position, position + kPageSize - 1, true,
                         &members) != Redis::kSuccess) {
      LOG(ERROR) << "Period archive: failed to read the closed ranking"
                 << ": key=" << source << ", from position=" << position;
      return ReadOutcome::kFailed;
    }
    page.clear();
    for (const auto& [member, score] : members) {
      ArchivedStanding standing;
      standing.position = position++;
      standing.score = option.FromStoredScore(score);
      const std::string tie = MemberTiebreakText(member);
      double tiebreak = 0;
      if (!tie.empty() && TiebreakFromText(tie, &tiebreak)) {
        standing.tiebreak_score = option.FromStoredTiebreak(tiebreak);
      }
      standing.competition_rank = competition.Next(score, tie);
      standing.dense_rank = dense.Next(score, tie);
      vel::PlayerAccount account;
      if (!ParseMemberRankingKey(member, &account) ||
          !ParseMemberRankingTime(member, &standing.time_stamp_ms)) {
        LOG(WARNING) << "Period archive: malformed ranking member"
                     << ": key=" << source << ", member=" << member;
      }
      standing.service_provider = account.service_provider();
      standing.local_account = account.id();
      if (top.size() < top_n) top.push_back(standing);
      page.push_back(std::move(standing));
    }
    if (keep && !store_->InsertStandings(period.period_id, page)) {
      return ReadOutcome::kFailed;
    }
    const bool last_page =
        static_cast<std::int64_t>(members.size()) < kPageSize;
    if (last_page || (!keep && top.size() >= top_n)) break;
    if (vel::MonotonicClock::Now() >= renew_at) {
      if (!store_->RenewLease(period.period_id, owner_)) {
        LOG(WARNING) << "Period archive: lost the hold of the period"
                     << ": idempotency key=" << end.idempotency_key;
        return ReadOutcome::kFailed;
      }
      renew_at = vel::MonotonicClock::Now() + kRenewIntervalUs;
    }
  }
  // Nothing may have changed the ranking while it was read: its size is the
  // same, all of it was read, and it is still this period's.
  std::int64_t size_after = 0;
  if (Redis::ZCard(source, &size_after) != Redis::kSuccess) {
    return ReadOutcome::kFailed;
  }
  std::string marker = end.idempotency_key;
  if (!end.marker_key.empty() && !ReadMarker(end, &marker)) {
    return ReadOutcome::kFailed;
  }
  if (marker != end.idempotency_key) {
    // A later rollover replaced the ranking: reading again cannot help.
    Lose(period,
         "a later rollover replaced the closed ranking before it was "
         "archived");
    return ReadOutcome::kStopped;
  }
  if (size_after != size_before || (keep && position != size_before)) {
    return ReadOutcome::kChanged;
  }
  if (!AddProfiles(end, &top)) return ReadOutcome::kFailed;
  *player_count = size_before;
  *document = MakeDocument(period, size_before, top);
  return ReadOutcome::kDone;
}

bool PeriodArchiver::ReadMarker(const PeriodEnd& end, std::string* value) {
  std::string text;
  const Redis::Result result = Redis::HGet(end.marker_key, end.period, &text);
  if (result == Redis::kNoValue) {
    value->clear();
    return true;
  }
  if (result != Redis::kSuccess) {
    LOG(ERROR) << "Period archive: failed to read the closed ranking's marker"
               << ": key=" << end.marker_key << ", field=" << end.period
               << ", result=" << Redis::ResultName(result);
    return false;
  }
  *value = text;
  return true;
}

bool PeriodArchiver::WriteMarker(const PeriodEnd& end) {
  if (end.marker_key.empty()) return true;
  const Redis::Result result =
      Redis::HSet(end.marker_key, end.period, end.idempotency_key);
  if (result != Redis::kSuccess) {
    LOG(ERROR) << "Period archive: failed to mark the closed ranking"
               << ": key=" << end.marker_key << ", field=" << end.period
               << ", result=" << Redis::ResultName(result);
    return false;
  }
  return true;
}

void PeriodArchiver::WriteQueuedMarkers() {
  std::lock_guard<std::mutex> marking(marker_mutex_);
  std::vector<PeriodEnd> unmarked;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Job& job : jobs_) {
      if (!job.marked) unmarked.push_back(job.end);
    }
  }
  // In queue order, stopping at a failure: a later period's marker must
  // never be overwritten by an earlier one's. The marker tells a take-over
  // which period the previous-period ranking holds; without it a period
  // could not be taken over.
  for (const PeriodEnd& end : unmarked) {
    const bool written = WriteMarker(end);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!written) next_marker_attempt_ = vel::MonotonicClock::Now() + kSecondUs;
    for (auto job = jobs_.begin(); job != jobs_.end(); ++job) {
      if (job->end.idempotency_key != end.idempotency_key) continue;
      if (written) {
        job->marked = true;
      } else if (++job->marker_failures >= kMarkerAttempts) {
        LOG(WARNING) << "Period archive: the closed ranking could not be "
                        "marked; its archiving is left to a take-over"
                     << ": idempotency key=" << end.idempotency_key;
        jobs_.erase(job);
      }
      break;
    }
    if (!written) break;
  }
}

void PeriodArchiver::Lose(const PeriodStore::ClaimedPeriod& period,
                          const std::string& why) {
  LOG(ERROR) << "The closed period cannot be archived: " << why
             << ": leaderboard id=" << period.end.leaderboard_id
             << ", period=" << period.end.period
             << ", idempotency key=" << period.end.idempotency_key;
  if (store_->LosePeriod(period, why)) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.lost;
  }
}

void PeriodArchiver::Sweep() {
  const std::int64_t now_us = vel::MonotonicClock::Now();
  std::vector<std::string> keys;
  if (store_->FindUnfinishedPeriods(kTakeOverBatch, &keys)) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A full batch (a master died in the middle of a midnight of many
    // leaderboards): the next one as soon as these are archived.
    if (keys.size() == kTakeOverBatch) sweep_soon_ = true;
    for (const std::string& key : keys) {
      Job job;
      job.end.idempotency_key = key;
      job.taken_over = true;
      job.marked = true;
      jobs_.push_back(std::move(job));
    }
  }
  if (now_us < next_expiry_) return;
  next_expiry_ = now_us + kExpiryIntervalUs;
  const auto now = ResetSchedule::Now();
  for (const auto& [period, cutoff] : PeriodRetention::Cutoffs(now)) {
    std::size_t removed = 0;
    do {
      if (Stopping() || !store_->RemoveExpiredPeriods(period, cutoff,
                                                      kExpiryBatch, &removed)) {
        break;
      }
      if (removed > 0) {
        LOG(INFO) << "Period archive: removed expired periods"
                  << ": period=" << period << ", count=" << removed;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      counts_.expired += removed;
    } while (removed == kExpiryBatch);
  }
  store_->RemoveDeliveredNotifications(kDeliveredNotificationDays);
}

}  // namespace plemox

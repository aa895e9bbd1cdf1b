#include "support/submission_load.h"

#include <hiredis/hiredis.h>

#include <iostream>
#include <optional>
#include <utility>

#include "client/query_builder.h"
#include "support/test_env.h"

namespace plemox_test {

SubmissionLoad::SubmissionLoad(plemox::LeaderboardClient& client,
                               std::string leaderboard_id, int accounts)
    : client_(client), id_(std::move(leaderboard_id)), accounts_(accounts) {
  thread_ = std::thread([this] { Run(); });
}

void SubmissionLoad::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::map<std::string, double> SubmissionLoad::Stored() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stored_;
}

std::chrono::steady_clock::time_point SubmissionLoad::last_stored() {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_stored_;
}

void SubmissionLoad::Run() {
  for (int round = 1; !stop_; ++round) {
    for (int i = 0; i < accounts_ && !stop_; ++i) {
      const std::string player = "p" + std::to_string(i);
      const double score = round;
      const auto result = client_.SubmitScore(
          id_, plemox::QueryBuilder::Account("guest", player), score,
          Leaderboard::ScoreSubmission::kHighScore, std::nullopt,
          std::chrono::milliseconds(3000));
      if (!result.ok()) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      stored_[player] = score;
      last_stored_ = std::chrono::steady_clock::now();
      ++answered_;
    }
  }
}

bool ReplicaHasEverythingBefore(int primary_port,
                                const std::string& marker_key) {
  const timeval timeout{5, 0};
  redisContext* context =
      redisConnectWithTimeout("127.0.0.1", primary_port, timeout);
  if (context == nullptr || context->err != 0) {
    if (context != nullptr) redisFree(context);
    return false;
  }
  redisSetTimeout(context, {10, 0});
  bool acknowledged = false;
  auto* set = static_cast<redisReply*>(
      redisCommand(context, "SET %s 1", marker_key.c_str()));
  const bool was_set = set != nullptr && set->type == REDIS_REPLY_STATUS;
  if (set != nullptr) freeReplyObject(set);
  if (was_set) {
    auto* wait = static_cast<redisReply*>(redisCommand(context, "WAIT 1 5000"));
    acknowledged = wait != nullptr && wait->type == REDIS_REPLY_INTEGER &&
                   wait->integer >= 1;
    if (wait != nullptr) freeReplyObject(wait);
  }
  redisFree(context);
  return acknowledged;
}

std::chrono::milliseconds SubmissionLoad::WaitServedAgain(
    int answered_before, std::chrono::steady_clock::time_point killed,
    std::chrono::milliseconds limit) {
  const bool served = WaitFor(
      [&] {
        return answered() > answered_before + 10 && last_stored() > killed;
      },
      limit);
  if (!served) return std::chrono::milliseconds(-1);
  const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
      last_stored() - killed);
  std::cout << "served again " << after.count() << " ms after the kill\n";
  return after;
}

}  // namespace plemox_test

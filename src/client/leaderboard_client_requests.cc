// The typed requests of LeaderboardClient: each builds its request body and
// hands it to Call or Start (leaderboard_client.cc).
#include <optional>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"

namespace plemox {

using Leaderboard::Request;

namespace {

Request BuildAuthentication(Request request, const std::string& app_id,
                            const std::string& key = std::string()) {
  request.mutable_leaderboard_authentication()->set_app_id(app_id);
  if (!key.empty()) request.mutable_leaderboard_authentication()->set_key(key);
  return request;
}

Request BuildSubmission(Request request,
                        const LeaderboardClient::Submission& submission) {
  auto* body = request.mutable_score_submission();
  body->set_leaderboard_id(submission.leaderboard_id);
  *body->mutable_account_id() = submission.account;
  body->set_score(submission.score);
  body->set_type(submission.type);
  if (submission.rank) {
    body->set_ranking_type(submission.rank->ranking_type);
    body->set_time_span(submission.rank->time_span);
  }
  if (submission.display_name) {
    body->set_display_name(*submission.display_name);
  }
  if (submission.metadata) body->set_metadata(*submission.metadata);
  if (submission.tiebreak_score) {
    body->set_tiebreak_score(*submission.tiebreak_score);
  }
  if (submission.submission_id) {
    body->set_submission_id(*submission.submission_id);
  }
  return request;
}

LeaderboardClient::Submission MakeSubmission(
    const std::string& leaderboard_id, const Leaderboard::AccountId& account,
    double score, Leaderboard::ScoreSubmission::Type type,
    const std::optional<LeaderboardClient::RankLookup>& rank) {
  LeaderboardClient::Submission submission;
  submission.leaderboard_id = leaderboard_id;
  submission.account = account;
  submission.score = score;
  submission.type = type;
  submission.rank = rank;
  return submission;
}

Request BuildDeletions(
    Request request,
    const std::vector<LeaderboardClient::Deletion>& deletions) {
  for (const auto& deletion : deletions) {
    auto* entry = request.add_score_deletions();
    entry->set_leaderboard_id(deletion.leaderboard_id);
    *entry->mutable_account_id() = deletion.account;
  }
  return request;
}

Request BuildQuery(Request request,
                   const Leaderboard::LeaderboardQuery::Request& query) {
  *request.mutable_leaderboard_query() = query;
  return request;
}

Request BuildQueries(
    Request request,
    const std::vector<Leaderboard::LeaderboardQuery::Request>& queries) {
  for (const auto& query : queries) *request.add_leaderboard_queries() = query;
  return request;
}

Request BuildStatusQuery(Request request, const std::string& leaderboard_id,
                         int32_t period,
                         const std::string& schedule_date_time) {
  auto* query = request.mutable_reset_schedule_status_query();
  query->set_leaderboard_id(leaderboard_id);
  query->set_period(period);
  query->set_schedule_date_time(schedule_date_time);
  return request;
}

Request BuildReset(Request request, const std::string& leaderboard_id) {
  request.mutable_leaderboard_reset()->set_leaderboard_id(leaderboard_id);
  return request;
}

}  // namespace

LeaderboardClient::Result LeaderboardClient::Authenticate(
    const std::string& app_id, std::chrono::milliseconds timeout) {
  return Call(BuildAuthentication(
                  NewRequest(Request::kLeaderboardAuthentication), app_id),
              timeout);
}

LeaderboardClient::Result LeaderboardClient::Authenticate(
    const std::string& app_id, const std::string& key,
    std::chrono::milliseconds timeout) {
  return Call(BuildAuthentication(
                  NewRequest(Request::kLeaderboardAuthentication), app_id, key),
              timeout);
}

LeaderboardClient::Result LeaderboardClient::SubmitScore(
    const std::string& leaderboard_id, const Leaderboard::AccountId& account,
    double score, Leaderboard::ScoreSubmission::Type type,
    const std::optional<RankLookup>& rank, std::chrono::milliseconds timeout) {
  return SubmitScore(MakeSubmission(leaderboard_id, account, score, type, rank),
                     timeout);
}

LeaderboardClient::Result LeaderboardClient::SubmitScore(
    const Submission& submission, std::chrono::milliseconds timeout) {
  return Call(
      BuildSubmission(NewRequest(Request::kScoreSubmission), submission),
      timeout);
}

LeaderboardClient::Result LeaderboardClient::DeleteScores(
    const std::vector<Deletion>& deletions, std::chrono::milliseconds timeout) {
  return Call(BuildDeletions(NewRequest(Request::kScoreDeletions), deletions),
              timeout);
}

LeaderboardClient::Result LeaderboardClient::Query(
    const Leaderboard::LeaderboardQuery::Request& query,
    std::chrono::milliseconds timeout) {
  return Call(BuildQuery(NewRequest(Request::kLeaderboardQuery), query),
              timeout);
}

LeaderboardClient::Result LeaderboardClient::QueryBatch(
    const std::vector<Leaderboard::LeaderboardQuery::Request>& queries,
    std::chrono::milliseconds timeout) {
  return Call(BuildQueries(NewRequest(Request::kLeaderboardQueries), queries),
              timeout);
}

LeaderboardClient::Result LeaderboardClient::ResetScheduleStatus(
    const std::string& leaderboard_id, int32_t period,
    const std::string& schedule_date_time, std::chrono::milliseconds timeout) {
  return Call(BuildStatusQuery(NewRequest(Request::kResetScheduleStatusQuery),
                               leaderboard_id, period, schedule_date_time),
              timeout);
}

LeaderboardClient::Result LeaderboardClient::RequestReset(
    const std::string& leaderboard_id, std::chrono::milliseconds timeout) {
  return Call(
      BuildReset(NewRequest(Request::kLeaderboardReset), leaderboard_id),
      timeout);
}

LeaderboardClient::Result LeaderboardClient::Send(
    const Request& request, std::chrono::milliseconds timeout) {
  return Call(request, timeout);
}

void LeaderboardClient::AuthenticateAsync(const std::string& app_id,
                                          Callback callback,
                                          std::chrono::milliseconds timeout) {
  Start(BuildAuthentication(NewRequest(Request::kLeaderboardAuthentication),
                            app_id),
        timeout, std::move(callback));
}

void LeaderboardClient::AuthenticateAsync(const std::string& app_id,
                                          const std::string& key,
                                          Callback callback,
                                          std::chrono::milliseconds timeout) {
  Start(BuildAuthentication(NewRequest(Request::kLeaderboardAuthentication),
                            app_id, key),
        timeout, std::move(callback));
}

void LeaderboardClient::SubmitScoreAsync(
    const std::string& leaderboard_id, const Leaderboard::AccountId& account,
    double score, Leaderboard::ScoreSubmission::Type type,
    const std::optional<RankLookup>& rank, Callback callback,
    std::chrono::milliseconds timeout) {
  SubmitScoreAsync(MakeSubmission(leaderboard_id, account, score, type, rank),
                   std::move(callback), timeout);
}

void LeaderboardClient::SubmitScoreAsync(const Submission& submission,
                                         Callback callback,
                                         std::chrono::milliseconds timeout) {
  Start(BuildSubmission(NewRequest(Request::kScoreSubmission), submission),
        timeout, std::move(callback));
}

void LeaderboardClient::DeleteScoresAsync(
    const std::vector<Deletion>& deletions, Callback callback,
    std::chrono::milliseconds timeout) {
  Start(BuildDeletions(NewRequest(Request::kScoreDeletions), deletions),
        timeout, std::move(callback));
}

void LeaderboardClient::QueryAsync(
    const Leaderboard::LeaderboardQuery::Request& query, Callback callback,
    std::chrono::milliseconds timeout) {
  Start(BuildQuery(NewRequest(Request::kLeaderboardQuery), query), timeout,
        std::move(callback));
}

void LeaderboardClient::QueryBatchAsync(
    const std::vector<Leaderboard::LeaderboardQuery::Request>& queries,
    Callback callback, std::chrono::milliseconds timeout) {
  Start(BuildQueries(NewRequest(Request::kLeaderboardQueries), queries),
        timeout, std::move(callback));
}

void LeaderboardClient::ResetScheduleStatusAsync(
    const std::string& leaderboard_id, int32_t period,
    const std::string& schedule_date_time, Callback callback,
    std::chrono::milliseconds timeout) {
  Start(BuildStatusQuery(NewRequest(Request::kResetScheduleStatusQuery),
                         leaderboard_id, period, schedule_date_time),
        timeout, std::move(callback));
}

void LeaderboardClient::RequestResetAsync(const std::string& leaderboard_id,
                                          Callback callback,
                                          std::chrono::milliseconds timeout) {
  Start(BuildReset(NewRequest(Request::kLeaderboardReset), leaderboard_id),
        timeout, std::move(callback));
}

void LeaderboardClient::SendAsync(const Request& request, Callback callback,
                                  std::chrono::milliseconds timeout) {
  Start(request, timeout, std::move(callback));
}

}  // namespace plemox

// The kinds of leaderboard against a reference model written here: random
// submissions of every type (and deletions) on a highest-first and a
// lowest-first leaderboard through the real host, on the scripts and on the
// command chain. Every answer (the submission's result and score, the whole
// ranking, a slice from the top and a window around a player in the three
// numberings, a social ranking) must be what the model says. Recovery mode
// then rebuilds each leaderboard equal to what Redis held.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/recovery_test_base.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::ScoreSubmission;
using plemox::QueryBuilder;
using RankingType = LeaderboardQuery::Request::RankingType;
using namespace std::chrono_literals;

// The rules of a leaderboard kind: which score is better, and whether (and
// how) a second score breaks ties.
struct Kind {
  bool ascending = false;
  int tiebreak = 0;  // 0 none, 1 the higher first, -1 the lower first
};

// One ranking as the rules say it must be: each player's score (and second
// score) and the order in which players last changed them.
class ReferenceRanking {
 public:
  struct Entry {
    std::string player;
    double score = 0;
    double tiebreak = 0;
    long sequence = 0;
  };

  explicit ReferenceRanking(Kind kind) : kind_(kind) {}

  // Whether the pair (a, ta) ranks above (b, tb).
  bool Better(double a, double ta, double b, double tb) const {
    if (a != b) return kind_.ascending ? a < b : a > b;
    return kind_.tiebreak > 0 ? ta > tb : kind_.tiebreak < 0 && ta < tb;
  }
  bool Better(const Entry& a, const Entry& b) const {
    return Better(a.score, a.tiebreak, b.score, b.tiebreak);
  }
  bool has_tiebreak() const { return kind_.tiebreak != 0; }
  const Entry* Find(const std::string& player) const {
    const auto it = entries_.find(player);
    return it == entries_.end() ? nullptr : &it->second;
  }
  void Set(const std::string& player, double score, double tiebreak,
           long sequence) {
    entries_[player] = Entry{player, score, tiebreak, sequence};
  }
  void Erase(const std::string& player) { entries_.erase(player); }

  // Best first; equal pairs: the earlier change first.
  std::vector<Entry> Ordered() const {
    std::vector<Entry> out;
    for (const auto& [player, entry] : entries_) out.push_back(entry);
    std::sort(out.begin(), out.end(), [this](const Entry& a, const Entry& b) {
      if (Better(a, b) || Better(b, a)) return Better(a, b);
      return a.sequence < b.sequence;
    });
    return out;
  }

  // The rank of `ordered[i]` in a numbering: its position, one more than
  // the number of better records (competition), or one more than the number
  // of distinct better pairs (dense).
  std::int64_t Rank(const std::vector<Entry>& ordered, std::size_t i,
                    RankingType type) const {
    if (type == LeaderboardQuery::Request::kPosition) {
      return static_cast<std::int64_t>(i) + 1;
    }
    std::set<std::pair<double, double>> better;
    std::int64_t count = 0;
    for (const Entry& other : ordered) {
      if (!Better(other, ordered[i])) continue;
      ++count;
      better.insert({other.score, other.tiebreak});
    }
    return 1 + (type == LeaderboardQuery::Request::kCompetition
                    ? count
                    : static_cast<std::int64_t>(better.size()));
  }

 private:
  Kind kind_;
  std::map<std::string, Entry> entries_;
};

// A leaderboard without a schedule: its three period rankings take the same
// updates, so one model stands for them, and one for the all-time ranking.
struct ReferenceBoard {
  explicit ReferenceBoard(Kind kind) : period(kind), alltime(kind) {}

  // Applies a submission; returns the answer's result and score. The
  // second score goes with the score: kAdd and kSubtract change the score
  // and keep the submitted second score.
  std::pair<ScoreSubmission::Response::Result, double> Submit(
      const std::string& player, double score, double tiebreak,
      ScoreSubmission::Type type, long sequence) {
    const ReferenceRanking::Entry* old = period.Find(player);
    double stored = score;
    bool new_record = true;
    if (old == nullptr) {
      if (type == ScoreSubmission::kSubtract) stored = -score;
    } else if (type == ScoreSubmission::kHighScore &&
               !period.Better(score, tiebreak, old->score, old->tiebreak)) {
      new_record = false;
    } else if (type == ScoreSubmission::kAdd) {
      stored = old->score + score;
    } else if (type == ScoreSubmission::kSubtract) {
      stored = old->score - score;
    }
    if (!new_record) return {ScoreSubmission::Response::kNone, score};
    period.Set(player, stored, tiebreak, sequence);
    // The all-time ranking keeps the best period score, or the latest one
    // for a replacing submission.
    const ReferenceRanking::Entry* best = alltime.Find(player);
    if (type == ScoreSubmission::kReplace || best == nullptr ||
        alltime.Better(stored, tiebreak, best->score, best->tiebreak)) {
      alltime.Set(player, stored, tiebreak, sequence);
      return {ScoreSubmission::Response::kNewRecord, stored};
    }
    return {ScoreSubmission::Response::kNewRecordMonthly, stored};
  }

  ReferenceRanking period;
  ReferenceRanking alltime;
};

// Run on the scripts (true) and on the command chain (false).
class BoardKindsTest : public RecoveryTestBase,
                       public testing::WithParamInterface<bool> {
 protected:
  BoardKindsTest() : RecoveryTestBase("e2ekind") {}

  // Checks one answered query against `ordered` positions [first, last].
  void ExpectRecords(const LeaderboardQuery::Response& answer,
                     const ReferenceRanking& model,
                     const std::vector<ReferenceRanking::Entry>& ordered,
                     std::size_t first, std::size_t last, RankingType type,
                     const std::string& what) {
    ASSERT_EQ(answer.total_player_count(),
              static_cast<std::int64_t>(ordered.size()))
        << what;
    const std::size_t count = ordered.empty() ? 0 : last - first + 1;
    ASSERT_EQ(static_cast<std::size_t>(answer.record_size()), count) << what;
    for (std::size_t i = 0; i < count; ++i) {
      const auto& record = answer.record(static_cast<int>(i));
      const auto& entry = ordered[first + i];
      EXPECT_EQ(record.account_id().local_account(), entry.player) << what;
      EXPECT_EQ(record.score(), entry.score) << what;
      EXPECT_EQ(record.has_tiebreak_score(), model.has_tiebreak()) << what;
      EXPECT_EQ(record.tiebreak_score(),
                model.has_tiebreak() ? entry.tiebreak : 0.0)
          << what;
      EXPECT_EQ(record.rank(), model.Rank(ordered, first + i, type)) << what;
    }
  }

  // Every query shape of one ranking, in every numbering.
  void CheckQueries(plemox::LeaderboardClient& client, const std::string& id,
                    LeaderboardQuery::TimeSpan timespan,
                    const ReferenceRanking& model, std::mt19937& random,
                    const std::vector<std::string>& players) {
    const auto ordered = model.Ordered();
    for (const RankingType type : {LeaderboardQuery::Request::kPosition,
                                   LeaderboardQuery::Request::kCompetition,
                                   LeaderboardQuery::Request::kDense}) {
      const std::string what = id + " timespan " + std::to_string(timespan) +
                               " numbering " + std::to_string(type);
      auto result = client.Query(
          QueryBuilder::Public(id, timespan, type, QueryBuilder::AllRange()));
      ASSERT_TRUE(result.ok()) << result.error;
      ExpectRecords(result.response.leaderboard_query(), model, ordered, 0,
                    ordered.size() - 1, type, what + " all");
      result = client.Query(QueryBuilder::Public(id, timespan, type,
                                                 QueryBuilder::TopRange(0, 2)));
      ASSERT_TRUE(result.ok()) << result.error;
      ExpectRecords(result.response.leaderboard_query(), model, ordered, 0,
                    std::min<std::size_t>(2, ordered.size() - 1), type,
                    what + " top");
      if (ordered.empty()) continue;
      const std::size_t at = random() % ordered.size();
      result = client.Query(QueryBuilder::Public(
          id, timespan, type, QueryBuilder::NearbyRange(-2, 2),
          QueryBuilder::Account("guest", ordered[at].player)));
      ASSERT_TRUE(result.ok()) << result.error;
      ExpectRecords(result.response.leaderboard_query(), model, ordered,
                    at < 2 ? 0 : at - 2, std::min(at + 2, ordered.size() - 1),
                    type, what + " nearby " + ordered[at].player);
    }
    if (ordered.empty()) return;
    // Among friends: the listed players who have scores, in the model's
    // order.
    std::vector<Leaderboard::AccountId> friends;
    for (const auto& player : players) {
      if (model.Find(player) != nullptr && player != ordered[0].player) {
        friends.push_back(QueryBuilder::Account("guest", player));
      }
    }
    const auto result = client.Query(QueryBuilder::Social(
        id, QueryBuilder::Account("guest", ordered[0].player), friends,
        timespan, LeaderboardQuery::Request::kPosition));
    ASSERT_TRUE(result.ok()) << result.error;
    const auto& answer = result.response.leaderboard_query();
    ASSERT_EQ(static_cast<std::size_t>(answer.record_size()), ordered.size());
    for (int i = 0; i < answer.record_size(); ++i) {
      EXPECT_EQ(answer.record(i).account_id().local_account(),
                ordered[static_cast<std::size_t>(i)].player)
          << id << " social";
      EXPECT_EQ(answer.record(i).score(),
                ordered[static_cast<std::size_t>(i)].score)
          << id << " social";
    }
  }
};

// Refusals on a server of the shared Redis and database.
class BoardKindsRefusalTest : public testing::Test {
 protected:
  ~BoardKindsRefusalTest() override { probe_.ForgetLeaderboards(prefix_); }

  const std::string prefix_ = "e2ekindno" + std::to_string(getpid()) + "_";
  StoreProbe probe_;
};

TEST_P(BoardKindsTest, RandomSequencesMatchTheModelAndRecoverAsTheyWere) {
  // Highest first, lowest first, and (the scripts only keep second scores)
  // lowest time first with the most kills breaking ties, and highest score
  // first with the shortest time breaking ties.
  std::map<std::string, Kind> kinds = {{"desc", {false, 0}},
                                       {"asc", {true, 0}}};
  std::string options = "{\"leaderboard_id\": \"" + Id("asc") +
                        "\", \"sort_order\": \"ascending\"}";
  if (GetParam()) {
    kinds["lapkills"] = {true, 1};
    kinds["scoretime"] = {false, -1};
    options += ", {\"leaderboard_id\": \"" + Id("lapkills") +
               "\", \"sort_order\": \"ascending\", \"tiebreak\": "
               "\"descending\"}, {\"leaderboard_id\": \"" +
               Id("scoretime") + "\", \"tiebreak\": \"ascending\"}";
  }
  std::vector<std::string> names;
  std::string ids;
  for (const auto& [name, kind] : kinds) {
    names.push_back(name);
    ids += (ids.empty() ? "\"" : ", \"") + Id(name) + "\"";
  }
  const std::string arguments = "\"leaderboard_ids\": [" + ids +
                                "], \"ranking_options\": [" + options + "]";
  const std::vector<std::string> players = {"p0", "p1", "p2", "p3",
                                            "p4", "p5", "p6", "p7"};
  // Few distinct values, so that equal scores are common; a negative one
  // and fractions that only compare equal when stored exactly.
  const std::vector<double> scores = {-3, 0.5, 1, 2, 2.5, 7, 0.1 + 0.2, 100};
  const std::vector<double> tiebreaks = {-1, 0, 2.5, 40};
  const ScoreSubmission::Type types[] = {
      ScoreSubmission::kHighScore, ScoreSubmission::kHighScore,
      ScoreSubmission::kAdd, ScoreSubmission::kSubtract,
      ScoreSubmission::kReplace};
  std::map<std::string, Ranking> before;
  std::map<std::string, ReferenceBoard> models;
  {
    RunningServer server(
        Options(arguments, {std::string("--redis_cache_use_scripts=") +
                            (GetParam() ? "true" : "false")}),
        "board-kinds-test");
    auto& client = server.client();
    std::mt19937 random(20261209);
    long sequence = 0;
    for (const std::string& name : names) {
      ReferenceBoard& model =
          models.emplace(name, ReferenceBoard(kinds.at(name))).first->second;
      for (int step = 0; step < 160; ++step) {
        const std::string& player = players[random() % players.size()];
        if (random() % 25 == 0) {
          const auto result = client.DeleteScores(
              {{Id(name), QueryBuilder::Account("guest", player)}});
          ASSERT_TRUE(result.ok()) << result.error;
          model.period.Erase(player);
          model.alltime.Erase(player);
          continue;
        }
        plemox::LeaderboardClient::Submission submission;
        submission.leaderboard_id = Id(name);
        submission.account = QueryBuilder::Account("guest", player);
        submission.score = scores[random() % scores.size()];
        submission.type = types[random() % std::size(types)];
        double tiebreak = 0;
        // A second score left out counts as 0.
        if (kinds.at(name).tiebreak != 0 && random() % 5 != 0) {
          tiebreak = tiebreaks[random() % tiebreaks.size()];
          submission.tiebreak_score = tiebreak;
        }
        const double score = submission.score;
        const auto type = submission.type;
        NextMillisecond();
        const auto expected =
            model.Submit(player, score, tiebreak, type, ++sequence);
        const auto result = client.SubmitScore(submission);
        ASSERT_TRUE(result.ok()) << result.error;
        const auto& answer = result.response.score_submission();
        ASSERT_EQ(answer.result(), expected.first)
            << name << " step " << step << ": " << player << " " << score
            << " type " << type;
        ASSERT_EQ(answer.score(), expected.second) << name << " step " << step;
        if (step % 20 == 19) {
          CheckQueries(client, Id(name), LeaderboardQuery::kDaily, model.period,
                       random, players);
          CheckQueries(client, Id(name), LeaderboardQuery::kAllTime,
                       model.alltime, random, players);
          if (HasFatalFailure()) return;
        }
      }
    }
    server.Stop();  // every database write has finished
    for (const std::string& name : names) {
      for (const char* timespan : kTimespans) {
        before[name + ":" + timespan] = Read(name, timespan);
      }
    }
  }
  // Redis keeps the lowest-first ranking negated, the other as it is.
  for (const std::string& name : names) {
    const auto best = models.at(name).alltime.Ordered();
    const auto& stored = before[name + ":alltime"].members;
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored.front().second, kinds.at(name).ascending
                                         ? -best.front().score
                                         : best.front().score);
  }

  probe_.DeleteKeys("leaderboard:" + prefix_ + "*");
  ASSERT_EQ(Recover(arguments, {"--force_leaderboard_recovery"}), 0)
      << RecoveryLog();
  for (const auto& [ranking, expected] : before) {
    const auto colon = ranking.find(':');
    EXPECT_EQ(Read(ranking.substr(0, colon), ranking.substr(colon + 1)),
              expected)
        << ranking;
  }
}

TEST_F(BoardKindsRefusalTest, SecondScoresThatCannotBeOrderedAreRefused) {
  const std::string plain = prefix_ + "plain", tie = prefix_ + "tie";
  RunningServer server(
      HostProcess::Options::WithArguments(
          "\"leaderboard_ids\": [\"" + plain + "\", \"" + tie +
          "\"], \"ranking_options\": [{\"leaderboard_id\": \"" + tie +
          "\", \"tiebreak\": \"ascending\"}]"),
      "board-kinds-refusals");
  const auto submit = [&](const std::string& id, double tiebreak) {
    plemox::LeaderboardClient::Submission submission;
    submission.leaderboard_id = id;
    submission.account = QueryBuilder::Account("guest", "p1");
    submission.score = 10;
    submission.tiebreak_score = tiebreak;
    return server.client().SubmitScore(submission);
  };
  const std::pair<std::string, double> refused[] = {
      {plain, 1},
      {tie, std::numeric_limits<double>::quiet_NaN()},
      {tie, std::numeric_limits<double>::infinity()}};
  const std::string not_finite = "tiebreak_score is not a finite number";
  const std::string messages[] = {
      std::string("tiebreak_score is only taken by a leaderboard with a "
                  "tiebreak; this one has none"),
      not_finite, not_finite};
  for (std::size_t i = 0; i < std::size(refused); ++i) {
    const auto result = submit(refused[i].first, refused[i].second);
    ASSERT_TRUE(result.answered()) << result.error;
    EXPECT_EQ(result.response.fail().code(),
              Leaderboard::Response::kFailInvalidParameter);
    EXPECT_EQ(result.response.fail().message(), messages[i]);
  }
  // Nothing was stored, and the connection goes on.
  for (const std::string& id : {plain, tie}) {
    const auto answer = server.client().Query(QueryBuilder::Public(
        id, LeaderboardQuery::kAllTime, LeaderboardQuery::Request::kPosition,
        QueryBuilder::AllRange()));
    ASSERT_TRUE(answer.ok()) << answer.error;
    EXPECT_EQ(answer.response.leaderboard_query().total_player_count(), 0);
  }
  EXPECT_TRUE(submit(tie, -0.5).ok());
}

INSTANTIATE_TEST_SUITE_P(Paths, BoardKindsTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Scripts" : "Chain";
                         });

}  // namespace
}  // namespace plemox_test

// The top answer cache through two real servers on one Redis: A keeps
// answers (--top_answer_cache_ms), B reads Redis every time. Random
// submissions through both, deletions and a rollover through A, and
// queries of A over every numbering; after each write B's answers are the
// state Redis holds. Every answer of A must equal a state Redis held within
// the cache's lifetime before the query, and none older than A's own last
// write (a game server reads its own writes). /metrics counts hits and
// misses.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "support/http_get.h"
#include "support/leaderboard_cleanup.h"
#include "support/reset_test_support.h"
#include "support/running_server.h"
#include "support/store_probe.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using Leaderboard::LeaderboardQuery;
using plemox::LeaderboardClient;
using plemox::QueryBuilder;
using Clock = std::chrono::steady_clock;

constexpr int kLifetimeMs = 250;

// One state of the leaderboard: when the write that made it was answered,
// and B's answer to every query shape then.
struct State {
  Clock::time_point written;
  std::vector<std::string> answers;
};

std::vector<LeaderboardQuery::Request> Shapes(const std::string& id) {
  std::vector<LeaderboardQuery::Request> shapes;
  for (const auto timespan :
       {LeaderboardQuery::kAllTime, LeaderboardQuery::kDaily}) {
    for (const auto type : {LeaderboardQuery::Request::kPosition,
                            LeaderboardQuery::Request::kCompetition,
                            LeaderboardQuery::Request::kDense}) {
      shapes.push_back(QueryBuilder::Public(id, timespan, type,
                                            QueryBuilder::TopRange(0, 5)));
    }
  }
  return shapes;
}

double Sample(const std::string& metrics, const std::string& name) {
  const std::size_t at = metrics.find("\n" + name + " ");
  if (at == std::string::npos) return -1;
  return std::stod(metrics.substr(at + name.size() + 2));
}

TEST(TopAnswerCacheTest, AnswersAreRecentStatesAndOwnWritesShowAtOnce) {
  const std::string id = UniquePrefix("e2etop") + "a";
  StoreProbe probe;
  LeaderboardCleanup cleanup(probe, {id});
  auto options = HostProcess::Options::WithArguments(ArgumentsJson({id}, {}));
  RunningServer reader(options, "top-cache-test");
  options.flags.push_back("--top_answer_cache_ms=" +
                          std::to_string(kLifetimeMs));
  RunningServer cached(options, "top-cache-test");
  const auto shapes = Shapes(id);

  std::vector<State> states;
  std::size_t own_write = 0;  // the state of A's latest write
  const auto record_state = [&](bool through_cached) {
    State state;
    state.written = Clock::now();
    const auto batch = reader.client().QueryBatch(shapes);
    ASSERT_TRUE(batch.ok()) << batch.response.DebugString();
    for (const auto& answer : batch.response.leaderboard_queries()) {
      state.answers.push_back(answer.ShortDebugString());
    }
    states.push_back(std::move(state));
    if (through_cached) own_write = states.size() - 1;
  };
  record_state(false);

  // Queries A with shape `shape`: its answer must be a state Redis held
  // within the lifetime before the query and not older than A's own last
  // write. Sets *newest to whether it is the newest state.
  int queries = 0;
  const auto check_query = [&](std::size_t shape, bool* newest) {
    const Clock::time_point asked = Clock::now();
    // Every third query as a batch of one, which reads kept answers as
    // records instead of their wire form.
    const bool batch = ++queries % 3 == 0;
    const auto answer = batch ? cached.client().QueryBatch({shapes[shape]})
                              : cached.client().Query(shapes[shape]);
    ASSERT_TRUE(answer.ok()) << answer.response.DebugString();
    ASSERT_EQ(answer.response.leaderboard_queries_size(), batch ? 1 : 0);
    const std::string text = (batch ? answer.response.leaderboard_queries(0)
                                    : answer.response.leaderboard_query())
                                 .ShortDebugString();
    // The oldest state it may show: A's own last write, and no state that a
    // later write had replaced longer than the lifetime before the query.
    std::size_t oldest = own_write;
    for (std::size_t s = oldest + 1; s < states.size(); ++s) {
      if (states[s].written + std::chrono::milliseconds(kLifetimeMs) < asked) {
        oldest = s;
      }
    }
    bool found = false;
    for (std::size_t s = oldest; s < states.size() && !found; ++s) {
      found = states[s].answers[shape] == text;
    }
    ASSERT_TRUE(found) << text << "\nnewest: " << states.back().answers[shape]
                       << "\nstates allowed: " << states.size() - oldest;
    *newest = states.back().answers[shape] == text;
  };

  std::mt19937 random(20260);
  bool newest = false;
  for (int step = 0; step < 400; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const int action = static_cast<int>(random() % 10);
    const bool through_cached = random() % 2 == 0;
    RunningServer& writer = through_cached ? cached : reader;
    const auto player =
        QueryBuilder::Account("guest", "p" + std::to_string(random() % 12));
    if (action < 3) {
      const auto done = writer.client().SubmitScore(
          id, player, static_cast<double>(random() % 50),
          Leaderboard::ScoreSubmission::kHighScore);
      ASSERT_TRUE(done.ok()) << done.response.DebugString();
      record_state(through_cached);
    } else if (action == 3 && step % 4 == 0) {
      const auto done = cached.client().DeleteScores({{id, player}});
      ASSERT_TRUE(done.ok()) << done.response.DebugString();
      record_state(true);
    } else if (step == 150) {
      // Every shape kept, then a rollover through A empties the daily ones.
      for (std::size_t shape = 0; shape < shapes.size(); ++shape) {
        check_query(shape, &newest);
      }
      const auto done = cached.client().RequestReset(id);
      ASSERT_TRUE(done.ok()) << done.response.DebugString();
      record_state(true);
      for (std::size_t shape = 0; shape < shapes.size(); ++shape) {
        check_query(shape, &newest);
      }
    } else {
      check_query(random() % shapes.size(), &newest);
    }
    if (HasFatalFailure()) return;
  }

  // A write through B shows in A's answers once the lifetime is over.
  for (std::size_t shape = 0; shape < shapes.size(); ++shape) {
    check_query(shape, &newest);
  }
  ASSERT_TRUE(reader.client()
                  .SubmitScore(id, QueryBuilder::Account("guest", "top"), 99,
                               Leaderboard::ScoreSubmission::kHighScore)
                  .ok());
  record_state(false);
  EXPECT_TRUE(WaitFor(
      [&] {
        bool all = true;
        for (std::size_t shape = 0; shape < shapes.size(); ++shape) {
          check_query(shape, &newest);
          all = all && newest;
        }
        return all || HasFatalFailure();
      },
      std::chrono::milliseconds(4 * kLifetimeMs)));

  const auto metrics = HttpRequest(cached.host().api_port(), "GET", "/metrics");
  ASSERT_EQ(metrics.status, 200);
  const std::string name = "plemox_leaderboard_top_answer_cache_lookups_total";
  EXPECT_GT(Sample(metrics.body, name + "{outcome=\"hit\"}"), 0);
  EXPECT_GT(Sample(metrics.body, name + "{outcome=\"miss\"}"), 0);
  const auto off = HttpRequest(reader.host().api_port(), "GET", "/metrics");
  EXPECT_EQ(Sample(off.body, name + "{outcome=\"miss\"}"), 0);
}

}  // namespace
}  // namespace plemox_test

#include "client/load_generator/load_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "client/frame_codec.h"
#include "support/scripted_server.h"
#include "support/test_env.h"

namespace plemox {
namespace {

using boost::asio::ip::tcp;
using Histogram = LoadGenerator::LatencyHistogram;
using Kind = LoadGenerator::RequestKind;
using Leaderboard::Request;
using Leaderboard::Response;

// ---------------------------------------------------------------------------
// Latency histogram.

TEST(LatencyHistogramTest, BucketsTileTheRangeWithBoundedWidth) {
  const size_t count = Histogram::BucketCount();
  EXPECT_EQ(Histogram::BucketLowest(0), 0u);
  EXPECT_EQ(Histogram::BucketHighest(count - 1),
            Histogram::kMaxTrackableMicros);
  for (size_t i = 0; i < count; ++i) {
    const uint64_t low = Histogram::BucketLowest(i);
    const uint64_t high = Histogram::BucketHighest(i);
    ASSERT_LE(low, high) << "bucket " << i;
    if (i + 1 < count) {
      ASSERT_EQ(high + 1, Histogram::BucketLowest(i + 1)) << "bucket " << i;
    }
    // Every bucket is at most 1/128 of its lowest value wide.
    ASSERT_LE((high - low) * 128, std::max<uint64_t>(low, 1)) << "bucket " << i;
    ASSERT_EQ(Histogram::BucketIndex(low), i);
    ASSERT_EQ(Histogram::BucketIndex(high), i);
  }
  EXPECT_EQ(Histogram::BucketIndex(std::numeric_limits<uint64_t>::max()),
            count - 1);
}

TEST(LatencyHistogramTest, SmallValuesAreExact) {
  Histogram histogram;
  for (uint64_t v = 100; v >= 1; --v) histogram.Record(v);
  EXPECT_EQ(histogram.count(), 100u);
  EXPECT_EQ(histogram.min(), 1u);
  EXPECT_EQ(histogram.max(), 100u);
  EXPECT_DOUBLE_EQ(histogram.mean(), 50.5);
  EXPECT_EQ(histogram.ValueAtQuantile(0.5), 50u);
  EXPECT_EQ(histogram.ValueAtQuantile(0.9), 90u);
  EXPECT_EQ(histogram.ValueAtQuantile(0.99), 99u);
  EXPECT_EQ(histogram.ValueAtQuantile(0.991), 100u);
  EXPECT_EQ(histogram.ValueAtQuantile(1.0), 100u);
  // Out-of-range quantiles are clamped, NaN reads as 0.
  EXPECT_EQ(histogram.ValueAtQuantile(0), 1u);
  EXPECT_EQ(histogram.ValueAtQuantile(-3), 1u);
  EXPECT_EQ(histogram.ValueAtQuantile(7), 100u);
  EXPECT_EQ(histogram.ValueAtQuantile(std::nan("")), 1u);
}

TEST(LatencyHistogramTest, PercentilesMatchSortedSamplesWithinBucketError) {
  // Log-uniform latencies from 1 us to 10 s, the shape of real tails.
  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> exponent(0, 7);
  std::vector<uint64_t> samples;
  Histogram histogram;
  for (int i = 0; i < 200000; ++i) {
    const auto value = static_cast<uint64_t>(std::pow(10.0, exponent(random)));
    samples.push_back(value);
    histogram.Record(value);
  }
  std::sort(samples.begin(), samples.end());
  for (double q : {0.001, 0.25, 0.5, 0.9, 0.99, 0.999, 0.9999, 1.0}) {
    const size_t rank = static_cast<size_t>(std::ceil(q * samples.size()));
    const uint64_t exact = samples[std::max<size_t>(rank, 1) - 1];
    const uint64_t reported = histogram.ValueAtQuantile(q);
    EXPECT_GE(reported, exact) << "q=" << q;
    EXPECT_LE(static_cast<double>(reported),
              static_cast<double>(exact) * (1.0 + 1.0 / 128))
        << "q=" << q;
  }
  EXPECT_EQ(histogram.max(), samples.back());
  EXPECT_EQ(histogram.min(), samples.front());
  EXPECT_EQ(histogram.ValueAtQuantile(1.0), samples.back());
}

TEST(LatencyHistogramTest, MergeEqualsRecordingEverythingInOne) {
  std::mt19937_64 random(7);
  Histogram a;
  Histogram b;
  Histogram all;
  for (int i = 0; i < 5000; ++i) {
    const uint64_t value = random() % 3000000;
    (i % 3 == 0 ? a : b).Record(value);
    all.Record(value);
  }
  Histogram empty;
  a.Merge(empty);
  a.Merge(b);
  EXPECT_EQ(a.count(), all.count());
  EXPECT_EQ(a.min(), all.min());
  EXPECT_EQ(a.max(), all.max());
  EXPECT_DOUBLE_EQ(a.mean(), all.mean());
  for (double q : {0.1, 0.5, 0.9, 0.99, 0.999}) {
    EXPECT_EQ(a.ValueAtQuantile(q), all.ValueAtQuantile(q)) << "q=" << q;
  }
  // Merging into an empty histogram takes the other's minimum.
  empty.Merge(b);
  EXPECT_EQ(empty.min(), b.min());
}

TEST(LatencyHistogramTest, EmptyAndHugeValues) {
  Histogram histogram;
  EXPECT_EQ(histogram.ValueAtQuantile(0.99), 0u);
  EXPECT_EQ(histogram.min(), 0u);
  EXPECT_EQ(histogram.mean(), 0);
  histogram.Record(std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(histogram.max(), Histogram::kMaxTrackableMicros);
  EXPECT_EQ(histogram.ValueAtQuantile(0.5), Histogram::kMaxTrackableMicros);
  histogram.Clear();
  EXPECT_EQ(histogram.count(), 0u);
  EXPECT_EQ(histogram.max(), 0u);
}

// ---------------------------------------------------------------------------
// Mixes and options.

TEST(LoadGeneratorMixTest, ParsesWeightsAndPicksByThem) {
  LoadGenerator::Mix mix;
  std::string error;
  ASSERT_TRUE(LoadGenerator::Mix::Parse(" submit = 5, top=3 ,social=2,nearby=0",
                                        &mix, &error))
      << error;
  EXPECT_EQ(mix.weight(Kind::kSubmit), 5u);
  EXPECT_EQ(mix.weight(Kind::kSubmitRanked), 0u);
  EXPECT_EQ(mix.weight(Kind::kTop), 3u);
  EXPECT_EQ(mix.weight(Kind::kNearby), 0u);
  EXPECT_EQ(mix.weight(Kind::kSocial), 2u);
  EXPECT_EQ(mix.Total(), 10u);
  EXPECT_EQ(mix.ToString(), "submit=5,top=3,social=2");

  // Every draw in one cycle of Total() lands on the kinds by their weights,
  // and later draws wrap around.
  std::map<Kind, int> picks;
  for (uint64_t draw = 0; draw < 2 * mix.Total(); ++draw)
    ++picks[mix.Pick(draw)];
  EXPECT_EQ(picks[Kind::kSubmit], 10);
  EXPECT_EQ(picks[Kind::kTop], 6);
  EXPECT_EQ(picks[Kind::kSocial], 4);
  EXPECT_EQ(picks.count(Kind::kNearby), 0u);
  EXPECT_EQ(mix.Pick(std::numeric_limits<uint64_t>::max()),
            mix.Pick(std::numeric_limits<uint64_t>::max() % 10));

  LoadGenerator::Mix round_trip;
  ASSERT_TRUE(LoadGenerator::Mix::Parse(mix.ToString(), &round_trip, &error));
  EXPECT_EQ(round_trip.weights, mix.weights);
}

TEST(LoadGeneratorMixTest, RefusesBadTextAndLeavesTheMixAlone) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "empty item"},
      {"submit=1,", "empty item"},
      {"submit", "expected name=weight"},
      {"sumbit=1", "unknown request kind 'sumbit'"},
      {"top=1,top=2", "given twice"},
      {"top=-1", "whole number"},
      {"top=1.5", "whole number"},
      {"top=", "whole number"},
      {"top=1000001", "whole number"},
      {"top=99999999999999999999", "whole number"},
      {"submit=0,top=0", "weight 0"},
  };
  for (const auto& [text, expected] : cases) {
    LoadGenerator::Mix mix;
    mix.weights[0] = 9;
    std::string error;
    EXPECT_FALSE(LoadGenerator::Mix::Parse(text, &mix, &error)) << text;
    EXPECT_NE(error.find(expected), std::string::npos)
        << text << " gave: " << error;
    EXPECT_EQ(mix.weights[0], 9u) << text;
  }
}

TEST(LoadGeneratorOptionsTest, ValidateNamesTheBadSetting) {
  LoadGenerator::Options good;
  good.leaderboard_ids = {"a"};
  good.mix.weights[0] = 1;
  ASSERT_EQ(good.Validate(), "");

  const std::vector<
      std::pair<std::function<void(LoadGenerator::Options*)>, std::string>>
      cases = {
          {[](auto* o) { o->connections = 0; }, "connections"},
          {[](auto* o) { o->in_flight = 0; }, "in_flight"},
          {[](auto* o) {
             o->duration = std::chrono::milliseconds(0);
             o->max_requests = 0;
           },
           "duration or a request count"},
          {[](auto* o) { o->timeout = std::chrono::milliseconds(0); },
           "timeout"},
          {[](auto* o) { o->mix = LoadGenerator::Mix(); }, "weight 0"},
          {[](auto* o) { o->leaderboard_ids.clear(); }, "no leaderboard"},
          {[](auto* o) { o->leaderboard_ids.push_back(""); }, "empty"},
          {[](auto* o) { o->players = 0; }, "players"},
          {[](auto* o) { o->provider = "a:b"; }, "':'"},
          {[](auto* o) { o->player_prefix = "x:"; }, "':'"},
          {[](auto* o) { o->top_count = 0; }, "top_count"},
          {[](auto* o) { o->nearby_radius = -1; }, "nearby_radius"},
          {[](auto* o) { o->friends = -1; }, "friends"},
          {[](auto* o) { o->port = 0; }, "port"},
          {[](auto* o) {
             o->mix.weights[static_cast<int>(Kind::kCohort)] = 1;
             o->cohort_time_span = Leaderboard::LeaderboardQuery::kAllTime;
           },
           "cohort_time_span"},
      };
  for (size_t i = 0; i < cases.size(); ++i) {
    LoadGenerator::Options options = good;
    cases[i].first(&options);
    EXPECT_NE(options.Validate().find(cases[i].second), std::string::npos)
        << "case " << i << " gave: '" << options.Validate() << "'";
  }
  // A request count alone is enough.
  LoadGenerator::Options count_only = good;
  count_only.duration = std::chrono::milliseconds(0);
  count_only.max_requests = 10;
  EXPECT_EQ(count_only.Validate(), "");
}

// ---------------------------------------------------------------------------
// The engine against a scripted server.

// ScriptedServer, Authenticated and MixedPolicy: scripted_server.h.

LoadGenerator::Options OptionsFor(uint16_t port, const std::string& mix) {
  LoadGenerator::Options options;
  options.port = port;
  options.connections = 3;
  options.in_flight = 4;
  options.duration = std::chrono::milliseconds(0);
  options.max_requests = 300;
  options.timeout = std::chrono::milliseconds(300);
  options.leaderboard_ids = {"lb_a", "lb_b"};
  options.players = 50;
  options.friends = 5;
  options.top_count = 10;
  options.nearby_radius = 2;
  std::string error;
  EXPECT_TRUE(LoadGenerator::Mix::Parse(mix, &options.mix, &error)) << error;
  return options;
}

TEST(LoadGeneratorRunTest, SendsTheBudgetAndCountsEveryEnding) {
  ScriptedServer server(MixedPolicy, std::chrono::milliseconds(2));
  LoadGenerator::Options options =
      OptionsFor(server.port(), "submit=2,submit_ranked=1,top=1,social=1");
  options.max_requests = 400;
  LoadGenerator generator(options);
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();

  const std::vector<Request> requests = server.requests();
  EXPECT_EQ(requests.size(), 400u);
  EXPECT_EQ(report.total.sent, 400u);
  EXPECT_EQ(report.total.finished(), 400u);
  EXPECT_EQ(report.connections, 3);
  EXPECT_EQ(report.lost_connections, 0);

  const auto& submit = report.of(Kind::kSubmit);
  const auto& ranked = report.of(Kind::kSubmitRanked);
  const auto& top = report.of(Kind::kTop);
  const auto& social = report.of(Kind::kSocial);
  EXPECT_EQ(report.of(Kind::kNearby).sent, 0u);
  // Every request ended the way the server treated its kind.
  EXPECT_EQ(submit.ok, submit.sent);
  EXPECT_EQ(ranked.ok, ranked.sent);
  EXPECT_EQ(top.fail_by_code[Response::kFailUnknown], top.sent);
  EXPECT_EQ(top.ok, 0u);
  EXPECT_EQ(social.timed_out, social.sent);
  // Answered requests carry a latency; timeouts do not.
  EXPECT_EQ(report.total.latency.count(), submit.sent + ranked.sent + top.sent);
  EXPECT_EQ(social.latency.count(), 0u);
  // Every kind of the mix was drawn (400 draws, each kind >= 1/5).
  EXPECT_GT(submit.sent, 0u);
  EXPECT_GT(ranked.sent, 0u);
  EXPECT_GT(top.sent, 0u);
  EXPECT_GT(social.sent, 0u);
  // The failure texts explain the counts.
  ASSERT_FALSE(report.failure_samples.empty());
  std::map<std::string, uint64_t> samples(report.failure_samples.begin(),
                                          report.failure_samples.end());
  EXPECT_EQ(samples["top: fail answer, code 3: not available"], top.sent);
  EXPECT_GT(report.RequestsPerSecond(report.total), 0);

  const std::string table = LoadGenerator::FormatReport(report);
  EXPECT_NE(table.find("submit_ranked"), std::string::npos) << table;
  EXPECT_NE(table.find("total"), std::string::npos) << table;
  const std::string tsv = LoadGenerator::FormatTsv("mixed", report);
  EXPECT_EQ(std::count(tsv.begin(), tsv.end(), '\n'), 5) << tsv;
  EXPECT_NE(tsv.find("mixed\ttotal\t400\t"), std::string::npos) << tsv;
}

TEST(LoadGeneratorRunTest, BuildsWellFormedRequests) {
  ScriptedServer server(
      [](const Request& request) -> std::optional<Response> {
        if (request.type() == Request::kLeaderboardAuthentication)
          return Authenticated(true);
        Response response;
        response.set_type(request.type());
        return response;
      },
      std::chrono::milliseconds(0));
  LoadGenerator::Options options = OptionsFor(
      server.port(), "submit=1,submit_ranked=1,top=1,nearby=1,social=1");
  options.max_requests = 200;
  options.ranking_type = Leaderboard::LeaderboardQuery::Request::kDense;
  options.time_span = Leaderboard::LeaderboardQuery::kWeekly;
  LoadGenerator generator(options);
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();
  EXPECT_EQ(report.total.ok, 200u);

  const std::set<std::string> boards = {"lb_a", "lb_b"};
  const auto is_player = [](const Leaderboard::AccountId& account) {
    if (account.service_provider() != "loadgen") return false;
    const std::string& id = account.local_account();
    return id.size() > 1 && id[0] == 'p' && std::stoul(id.substr(1)) < 50;
  };
  std::set<int> types;
  for (const Request& request : server.requests()) {
    types.insert(request.type());
    if (request.type() == Request::kScoreSubmission) {
      const auto& submission = request.score_submission();
      EXPECT_TRUE(boards.count(submission.leaderboard_id()));
      EXPECT_TRUE(is_player(submission.account_id()));
      EXPECT_LE(submission.score(), 1000000);
      if (submission.has_ranking_type()) {
        EXPECT_EQ(submission.ranking_type(), options.ranking_type);
        EXPECT_EQ(submission.time_span(), options.time_span);
      }
      continue;
    }
    ASSERT_EQ(request.type(), Request::kLeaderboardQuery);
    const auto& query = request.leaderboard_query();
    EXPECT_TRUE(boards.count(query.leaderboard_id()));
    EXPECT_EQ(query.ranking_type(), options.ranking_type);
    EXPECT_EQ(query.time_span(), options.time_span);
    using Range = Leaderboard::LeaderboardQuery::Range;
    if (query.collection() == Leaderboard::LeaderboardQuery::kSocial) {
      EXPECT_EQ(query.range().type(), Range::kAll);
      ASSERT_TRUE(is_player(query.account_id()));
      std::set<std::string> competitors;
      for (const auto& competitor : query.competitors()) {
        EXPECT_TRUE(is_player(competitor));
        competitors.insert(competitor.local_account());
      }
      EXPECT_EQ(competitors.size(), 5u) << "competitors must be distinct";
      EXPECT_EQ(competitors.count(query.account_id().local_account()), 0u);
    } else if (query.range().type() == Range::kFromTop) {
      EXPECT_EQ(query.range().begin(), 0);
      EXPECT_EQ(query.range().end(), 9);
    } else {
      ASSERT_EQ(query.range().type(), Range::kNearby);
      EXPECT_EQ(query.range().begin(), -2);
      EXPECT_EQ(query.range().end(), 2);
      EXPECT_TRUE(is_player(query.account_id()));
    }
  }
  EXPECT_EQ(types.size(), 2u);
}

// A cohort query asks for the whole cohort of a player on the league's
// period, whatever the time span of the other queries.
TEST(LoadGeneratorRunTest, CohortQueriesAskForThePlayersWholeCohort) {
  ScriptedServer server(
      [](const Request& request) -> std::optional<Response> {
        if (request.type() == Request::kLeaderboardAuthentication)
          return Authenticated(true);
        Response response;
        response.set_type(request.type());
        return response;
      },
      std::chrono::milliseconds(0));
  LoadGenerator::Options options = OptionsFor(server.port(), "cohort=1,top=1");
  options.max_requests = 100;
  options.cohort_time_span = Leaderboard::LeaderboardQuery::kWeekly;
  LoadGenerator generator(options);
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();
  EXPECT_EQ(report.total.ok, 100u);
  const uint64_t cohorts = report.of(Kind::kCohort).ok;
  EXPECT_GT(cohorts, 0u);
  EXPECT_NE(LoadGenerator::FormatReport(report).find("cohort"),
            std::string::npos);

  uint64_t seen = 0;
  for (const Request& request : server.requests()) {
    if (request.type() != Request::kLeaderboardQuery) continue;
    const auto& query = request.leaderboard_query();
    if (!query.cohort()) {
      EXPECT_EQ(query.time_span(), options.time_span);
      continue;
    }
    ++seen;
    EXPECT_EQ(query.collection(), Leaderboard::LeaderboardQuery::kPublic);
    EXPECT_EQ(query.range().type(), Leaderboard::LeaderboardQuery::Range::kAll);
    EXPECT_EQ(query.time_span(), Leaderboard::LeaderboardQuery::kWeekly);
    EXPECT_EQ(query.account_id().service_provider(), "loadgen");
    EXPECT_EQ(query.account_id().local_account().substr(0, 1), "p");
  }
  EXPECT_EQ(seen, cohorts);
}

// What a run sent, without the request UUIDs.
std::vector<std::string> SentBodies(const ScriptedServer& server) {
  std::vector<std::string> bodies;
  for (Request request : server.requests()) {
    request.clear_request_uuid();
    bodies.push_back(request.SerializeAsString());
  }
  return bodies;
}

TEST(LoadGeneratorRunTest, SeedsReplayOrVaryTheRequests) {
  const auto run = [](uint64_t seed, uint64_t* used_seed) {
    ScriptedServer server(MixedPolicy, std::chrono::milliseconds(0));
    LoadGenerator::Options options =
        OptionsFor(server.port(), "submit=3,top=1");
    options.connections = 1;
    options.in_flight = 1;
    options.max_requests = 40;
    options.seed = seed;
    LoadGenerator generator(options);
    LoadGenerator::Report report;
    EXPECT_TRUE(generator.Run(&report)) << generator.error();
    *used_seed = report.seed;
    return SentBodies(server);
  };
  uint64_t seed_a = 0;
  uint64_t seed_b = 0;
  // A given seed sends the same requests again.
  EXPECT_EQ(run(17, &seed_a), run(17, &seed_b));
  EXPECT_EQ(seed_a, 17u);
  // Without one, each run draws its own: a second run must not replay the
  // first one's scores (they would never be new records).
  const auto first = run(0, &seed_a);
  const auto second = run(0, &seed_b);
  EXPECT_NE(seed_a, 0u);
  EXPECT_NE(seed_a, seed_b);
  EXPECT_NE(first, second);
  EXPECT_EQ(run(seed_a, &seed_b), first);
}

TEST(LoadGeneratorRunTest, PrefillSubmitsEveryPlayerOnEveryLeaderboardOnce) {
  ScriptedServer server(MixedPolicy, std::chrono::milliseconds(0));
  LoadGenerator::Options options = OptionsFor(server.port(), "top=1");
  options.players = 37;
  options.prefill = true;
  options.max_requests = 5;
  LoadGenerator generator(options);
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();
  EXPECT_EQ(report.prefill_requests, 74u);
  EXPECT_EQ(report.prefill_failures, 0u);

  std::multiset<std::pair<std::string, std::string>> pairs;
  size_t queries = 0;
  for (const Request& request : server.requests()) {
    if (request.type() == Request::kScoreSubmission) {
      pairs.emplace(request.score_submission().leaderboard_id(),
                    request.score_submission().account_id().local_account());
    } else {
      ++queries;
    }
  }
  EXPECT_EQ(pairs.size(), 74u);
  const std::set<std::pair<std::string, std::string>> distinct(pairs.begin(),
                                                               pairs.end());
  EXPECT_EQ(distinct.size(), 74u);
  EXPECT_EQ(queries, 5u);
  EXPECT_EQ(report.total.sent, 5u);

  // Without a duration or a request count only the prefill runs.
  options.duration = std::chrono::milliseconds(0);
  options.max_requests = 0;
  ASSERT_EQ(options.Validate(), "");
  LoadGenerator prefill_only(options);
  ASSERT_TRUE(prefill_only.Run(&report)) << prefill_only.error();
  EXPECT_EQ(report.prefill_requests, 74u);
  EXPECT_EQ(report.total.sent, 0u);
  EXPECT_EQ(server.requests().size(), 74u + 5u + 74u);
  EXPECT_EQ(LoadGenerator::FormatTsv("prefill", report), "");
  EXPECT_EQ(LoadGenerator::FormatReport(report).find("total"),
            std::string::npos);
}

TEST(LoadGeneratorRunTest, DurationEndsTheRunAndDrainsWhatIsInFlight) {
  ScriptedServer server(MixedPolicy, std::chrono::milliseconds(3));
  LoadGenerator::Options options = OptionsFor(server.port(), "submit=1");
  options.max_requests = 0;
  options.duration = std::chrono::milliseconds(300);
  options.progress_interval = std::chrono::milliseconds(50);
  std::vector<LoadGenerator::Progress> snapshots;
  LoadGenerator generator(options);
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report, [&](const LoadGenerator::Progress& p) {
    snapshots.push_back(p);
  })) << generator.error();
  EXPECT_GE(report.elapsed, options.duration);
  EXPECT_GT(report.total.sent, 0u);
  EXPECT_EQ(report.total.finished(), report.total.sent);
  EXPECT_EQ(report.total.ok, report.total.sent);
  EXPECT_EQ(server.requests().size(), report.total.sent);
  ASSERT_FALSE(snapshots.empty());
  for (size_t i = 1; i < snapshots.size(); ++i) {
    EXPECT_GE(snapshots[i].finished, snapshots[i - 1].finished);
    EXPECT_GE(snapshots[i].elapsed, snapshots[i - 1].elapsed);
  }
  EXPECT_LE(snapshots.back().finished, report.total.finished());
  // The bound on requests in flight per connection held, and was used.
  EXPECT_LE(server.max_unanswered(), 4u);
  EXPECT_GE(server.max_unanswered(), 2u);
}

TEST(LoadGeneratorRunTest, LostConnectionsEndTheRunInsteadOfSpinning) {
  ScriptedServer server(MixedPolicy, std::chrono::milliseconds(1));
  server.CloseAllAfter(30);
  LoadGenerator::Options options = OptionsFor(server.port(), "submit=1");
  options.max_requests = 100000;
  LoadGenerator generator(options);
  LoadGenerator::Report report;
  ASSERT_TRUE(generator.Run(&report)) << generator.error();
  EXPECT_EQ(report.lost_connections, 3);
  EXPECT_EQ(report.total.finished(), report.total.sent);
  EXPECT_GE(report.total.disconnected, 1u);
  // Nothing is resent on a dead connection: the sends stay near what the
  // server saw (at most one refused request per connection beyond it).
  EXPECT_LE(report.total.sent, server.requests().size() + 3 * 4 + 3);
}

TEST(LoadGeneratorRunTest, FailsClearlyWhenItCannotStart) {
  {
    LoadGenerator generator(
        OptionsFor(static_cast<uint16_t>(plemox_test::FreePort()), "top=1"));
    LoadGenerator::Report report;
    EXPECT_FALSE(generator.Run(&report));
    EXPECT_NE(generator.error().find("cannot connect"), std::string::npos)
        << generator.error();
  }
  {
    ScriptedServer server(
        [](const Request&) -> std::optional<Response> {
          return Authenticated(false);
        },
        std::chrono::milliseconds(0));
    LoadGenerator generator(OptionsFor(server.port(), "top=1"));
    LoadGenerator::Report report;
    EXPECT_FALSE(generator.Run(&report));
    EXPECT_NE(generator.error().find("authentication refused"),
              std::string::npos)
        << generator.error();
    EXPECT_TRUE(server.requests().empty());
  }
  {
    LoadGenerator::Options options = OptionsFor(1, "top=1");
    options.leaderboard_ids.clear();
    LoadGenerator generator(options);
    LoadGenerator::Report report;
    EXPECT_FALSE(generator.Run(&report));
    EXPECT_NE(generator.error().find("no leaderboard ids"), std::string::npos);
  }
}

}  // namespace
}  // namespace plemox

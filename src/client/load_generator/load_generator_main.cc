// leaderboard_loadgen: drives a leaderboard server with many connections
// and a mix of submissions and queries, prints a progress line every second
// and then throughput and latency percentiles per request kind. All the work
// is done by plemox::LoadGenerator.
//
// Exit codes: 0 the run completed (failed requests are in the report),
// 1 the connections could not be opened or authenticated, 64 bad flags.
#include <gflags/gflags.h>
#include <glog/logging.h>

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "client/game_key.h"
#include "client/load_generator/load_generator.h"
#include "client/protocol_names.h"

DEFINE_string(host, "127.0.0.1", "Leaderboard server host");
DEFINE_int32(port, 12820, "Leaderboard server TCP port");
DEFINE_string(app_id, "leaderboard_loadgen",
              "Identifier sent when authenticating");
DEFINE_string(key_file, "",
              "File holding the app's key (servers with game server keys "
              "need one)");
DEFINE_bool(tls, false, "Connect over TLS (a server with --server_tls_cert)");
DEFINE_string(tls_ca, "",
              "With --tls: PEM CA the server's certificate must be signed "
              "by (empty: the system's CAs)");
DEFINE_string(tls_cert, "",
              "With --tls: PEM client certificate, for a server with "
              "--server_tls_client_ca");
DEFINE_string(tls_key, "", "With --tls: PEM key of --tls_cert");
DEFINE_int32(connections, 8, "Connections, each authenticated once");
DEFINE_int32(in_flight, 4,
             "Requests outstanding per connection (closed loop, prefill)");
DEFINE_double(rate, 0,
              "Requests per second over all connections, sent on a fixed "
              "schedule whatever the answers (open loop; latencies count "
              "from the due times); 0: closed loop with --in_flight");
DEFINE_int32(max_outstanding, 64,
             "With --rate: the most requests outstanding per connection; a "
             "request due on a full connection is dropped and counted");
DEFINE_double(duration, 10, "Seconds to run (0: until --requests are sent)");
DEFINE_uint64(requests, 0, "Requests to send (0: until --duration ends)");
DEFINE_int32(timeout_ms, 5000, "Per-request, connect and authenticate timeout");
DEFINE_string(mix, "submit=1",
              "Weights of the request kinds: submit, submit_ranked, top, "
              "nearby, social, cohort (a league's cohort of the player), e.g. "
              "submit=50,top=20,nearby=20,social=10");
DEFINE_string(leaderboards, "",
              "Comma-separated leaderboard ids the requests are spread over");
DEFINE_uint64(players, 10000, "Players, chosen uniformly per request");
DEFINE_string(player_prefix, "p", "Local account ids are <prefix><n>");
DEFINE_string(provider, "loadgen", "Service provider of the players");
DEFINE_uint64(max_score, 1000000, "Scores are drawn from 0 to this value");
DEFINE_string(type, "high", "Submission type: high, add or subtract");
DEFINE_string(time_span, "alltime",
              "Time span of queries and of ranked submissions");
DEFINE_string(ranking_type, "position",
              "Ranking type of queries and of ranked submissions");
DEFINE_int64(top, 100, "top: positions 0 to top-1");
DEFINE_int64(nearby_radius, 5, "nearby: offsets -radius to +radius");
DEFINE_int32(friends, 20, "social: competitors per query");
DEFINE_string(cohort_time_span, "daily",
              "cohort: the league's period (daily, weekly or monthly)");
DEFINE_uint32(name_bytes, 0,
              "Submissions (prefill included) carry a display name of this "
              "many bytes (0: none)");
DEFINE_uint32(metadata_bytes, 0,
              "Submissions (prefill included) carry this many bytes of "
              "metadata (0: none)");
DEFINE_bool(tiebreak_scores, false,
            "Submissions (prefill included) carry a tiebreak_score made from "
            "the player's number (for leaderboards with a tiebreak)");
DEFINE_bool(prefill, false,
            "Before the measured run, submit one score per player and "
            "leaderboard (not measured); with --duration=0 and --requests=0 "
            "only this runs");
DEFINE_uint64(seed, 0,
              "Seed of the request choices (0: a fresh one per run; the "
              "report names it)");
DEFINE_bool(progress, true, "Print a progress line to stderr every second");
DEFINE_string(label, "", "Label of the rows written to --tsv_out");
DEFINE_string(tsv_out, "",
              "Append the report rows as tab-separated values to this file: "
              "label, kind, requests, req/s, p50, p90, p99, p99.9, max (ms), "
              "failed, timed out or lost, dropped, late, offered req/s");

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;

using plemox::LoadGenerator;
using plemox::ProtocolNames;

// Fills *options from the flags; false with *error set on a bad value.
bool OptionsFromFlags(LoadGenerator::Options* options, std::string* error) {
  if (FLAGS_port <= 0 || FLAGS_port > 65535) {
    *error = "--port must be 1 to 65535";
    return false;
  }
  if (!(FLAGS_duration >= 0) || FLAGS_duration > 86400) {
    *error = "--duration must be 0 to 86400 seconds";
    return false;
  }
  options->host = FLAGS_host;
  options->port = static_cast<uint16_t>(FLAGS_port);
  options->app_id = FLAGS_app_id;
  options->tls.enabled = FLAGS_tls;
  options->tls.ca_file = FLAGS_tls_ca;
  options->tls.cert_file = FLAGS_tls_cert;
  options->tls.key_file = FLAGS_tls_key;
  if (!FLAGS_key_file.empty() &&
      !plemox::GameKey::ReadFile(FLAGS_key_file, &options->key, error)) {
    return false;
  }
  options->connections = FLAGS_connections;
  options->in_flight = FLAGS_in_flight;
  options->rate = FLAGS_rate;
  options->max_outstanding = FLAGS_max_outstanding;
  options->duration =
      std::chrono::milliseconds(static_cast<int64_t>(FLAGS_duration * 1000));
  options->max_requests = FLAGS_requests;
  options->timeout = std::chrono::milliseconds(FLAGS_timeout_ms);
  if (!LoadGenerator::Mix::Parse(FLAGS_mix, &options->mix, error)) {
    *error = "--mix: " + *error;
    return false;
  }
  options->leaderboard_ids.clear();
  if (!FLAGS_leaderboards.empty()) {
    boost::algorithm::split(options->leaderboard_ids, FLAGS_leaderboards,
                            [](char c) { return c == ','; });
    for (auto& id : options->leaderboard_ids) boost::algorithm::trim(id);
  }
  options->players = FLAGS_players;
  options->player_prefix = FLAGS_player_prefix;
  options->provider = FLAGS_provider;
  options->max_score = FLAGS_max_score;
  if (!ProtocolNames::ParseSubmissionType(FLAGS_type,
                                          &options->submission_type)) {
    *error = "--type: expected high, add or subtract";
    return false;
  }
  if (!ProtocolNames::ParseTimeSpan(FLAGS_time_span, &options->time_span)) {
    *error = "--time_span: unknown time span '" + FLAGS_time_span + "'";
    return false;
  }
  if (!ProtocolNames::ParseRankingType(FLAGS_ranking_type,
                                       &options->ranking_type)) {
    *error =
        "--ranking_type: unknown ranking type '" + FLAGS_ranking_type + "'";
    return false;
  }
  options->top_count = FLAGS_top;
  options->nearby_radius = FLAGS_nearby_radius;
  options->friends = FLAGS_friends;
  if (!ProtocolNames::ParseTimeSpan(FLAGS_cohort_time_span,
                                    &options->cohort_time_span)) {
    *error = "--cohort_time_span: unknown time span '" +
             FLAGS_cohort_time_span + "'";
    return false;
  }
  options->name_bytes = FLAGS_name_bytes;
  options->tiebreak_scores = FLAGS_tiebreak_scores;
  options->metadata_bytes = FLAGS_metadata_bytes;
  options->prefill = FLAGS_prefill;
  options->seed = FLAGS_seed;
  *error = options->Validate();
  return error->empty();
}

void PrintProgress(const LoadGenerator::Progress& progress) {
  std::fprintf(stderr,
               "[%6.1fs] %llu done: %llu ok, %llu failed, %llu timed out or "
               "lost; %.0f req/s; %llu in flight\n",
               static_cast<double>(progress.elapsed.count()) / 1000.0,
               static_cast<unsigned long long>(progress.finished),
               static_cast<unsigned long long>(progress.ok),
               static_cast<unsigned long long>(progress.failed),
               static_cast<unsigned long long>(progress.timed_out),
               progress.recent_rate,
               static_cast<unsigned long long>(progress.in_flight));
}

}  // namespace

int main(int argc, char** argv) {
  // Single request failures are counted in the report; the client's own
  // per-request warnings would flood the terminal under load.
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = google::GLOG_ERROR;
  gflags::SetUsageMessage(
      "drives a leaderboard server with a mix of requests and reports "
      "throughput and latency.\nusage: leaderboard_loadgen --port P "
      "--leaderboards a,b [--connections N --in_flight K] [--duration S | "
      "--requests N] [--mix submit=50,top=20,nearby=20,social=10] "
      "[--rate R --max_outstanding M]");
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  google::InitGoogleLogging(argv[0]);
  if (argc != 1) {
    std::cerr << "unexpected argument '" << argv[1] << "'\n";
    return kExitUsage;
  }

  LoadGenerator::Options options;
  std::string error;
  if (!OptionsFromFlags(&options, &error)) {
    std::cerr << error << "\n";
    return kExitUsage;
  }
  std::cerr << "leaderboard_loadgen: " << options.connections
            << " connections x ";
  if (options.rate > 0) {
    std::cerr << "at most " << options.max_outstanding
              << " outstanding at a fixed " << options.rate << " req/s";
  } else {
    std::cerr << options.in_flight << " in flight";
  }
  std::cerr << ", mix " << options.mix.ToString() << ", "
            << options.leaderboard_ids.size() << " leaderboards, "
            << options.players << " players\n";

  LoadGenerator generator(options);
  LoadGenerator::Report report;
  const bool ran = generator.Run(
      &report, FLAGS_progress ? LoadGenerator::ProgressCallback(PrintProgress)
                              : nullptr);
  if (!ran) {
    std::cerr << "leaderboard_loadgen: " << generator.error() << "\n";
    return kExitFailed;
  }
  std::cout << LoadGenerator::FormatReport(report);
  if (!FLAGS_tsv_out.empty()) {
    std::ofstream tsv(FLAGS_tsv_out, std::ios::app);
    tsv << LoadGenerator::FormatTsv(
        FLAGS_label.empty() ? options.mix.ToString() : FLAGS_label, report);
    if (!tsv) {
      std::cerr << "cannot write " << FLAGS_tsv_out << "\n";
      return kExitFailed;
    }
  }
  return kExitOk;
}

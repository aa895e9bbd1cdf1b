// leaderboard_cli: sends one request to a leaderboard server and prints the
// answer. All protocol work is done by the client library.
//
//   leaderboard_cli [connection flags] <command> [request flags]
//
// Exit codes: 0 accepted answer, 1 refused (fail answer), 2 timeout,
// 3 connection error, 64 bad command line.
#include <gflags/gflags.h>
#include <glog/logging.h>

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "client/game_key.h"
#include "client/leaderboard_client.h"
#include "client/protocol_names.h"
#include "client/query_builder.h"

DEFINE_string(host, "127.0.0.1", "Leaderboard server host");
DEFINE_int32(port, 12820, "Leaderboard server TCP port");
DEFINE_string(app_id, "leaderboard_cli", "Identifier sent when authenticating");
DEFINE_string(key_file, "",
              "File holding the app's key (servers with game server keys "
              "need one); the environment variable PLEMOX_GAME_KEY is used "
              "when this is empty");
DEFINE_bool(tls, false, "Connect over TLS (a server with --server_tls_cert)");
DEFINE_string(tls_ca, "",
              "With --tls: PEM CA the server's certificate must be signed "
              "by (empty: the system's CAs)");
DEFINE_string(tls_cert, "",
              "With --tls: PEM client certificate, for a server with "
              "--server_tls_client_ca");
DEFINE_string(tls_key, "", "With --tls: PEM key of --tls_cert");
DEFINE_string(tls_server_name, "",
              "With --tls: the name the server's certificate must carry "
              "(empty: --host)");
DEFINE_int32(timeout_ms, 5000, "Connect and per-request timeout");
DEFINE_string(app, "", "keygen: the app id the new key belongs to");
DEFINE_string(key_id, "", "keygen: the new key's id (names it in logs)");
DEFINE_string(rights, "all",
              "keygen: the new key's rights, comma-separated out of submit, "
              "query, delete, reset, all");
DEFINE_string(leaderboard, "",
              "Leaderboard id (delete and batch: comma-separated list)");
DEFINE_string(provider, "", "Service provider of the player account");
DEFINE_string(account, "",
              "Local account id of the player (delete: comma-separated list)");
DEFINE_double(score, 0, "submit: the score");
DEFINE_string(type, "high", "submit: high, add or subtract");
DEFINE_string(name, "",
              "submit: the player's display name on the leaderboard (UTF-8; "
              "sent when given, also empty to clear it)");
DEFINE_string(metadata, "",
              "submit: bytes kept with the player's entry (sent when given, "
              "also empty to clear them)");
DEFINE_string(submission_id, "",
              "submit: 1 to 64 bytes; a second submit with the same id on "
              "the same leaderboard is answered like the first and not "
              "applied again");
DEFINE_string(ranking_type, "",
              "position, competition, dense or 1-3 (query default: position; "
              "submit: when set, the answer carries the player's rank)");
DEFINE_string(time_span, "",
              "alltime, daily, weekly, lastweek, yesterday, monthly, "
              "lastmonth (default alltime; batch: comma-separated list)");
DEFINE_string(collection, "public", "query: public or social");
DEFINE_string(range, "all", "query: all, top or nearby");
DEFINE_int64(begin, 0, "query: first position or offset of the range");
DEFINE_int64(end, 0, "query: last position or offset of the range");
DEFINE_string(competitors, "",
              "query: comma-separated provider:account list (social)");
DEFINE_string(period_start, "",
              "query: read the archived period starting then (20261207 or "
              "20261207T000000; --time_span names its kind)");
DEFINE_string(period, "day", "status: day, week, month or a number");
DEFINE_string(schedule, "",
              "status: the schedule date time, for example 20210208T000000");

namespace {

using plemox::LeaderboardClient;
using plemox::ProtocolNames;
using plemox::QueryBuilder;

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitTimeout = 2;
constexpr int kExitConnection = 3;
constexpr int kExitUsage = 64;

const char kUsage[] =
    "sends one request to a leaderboard server and prints the answer.\n"
    "usage: leaderboard_cli [--host H --port P --app_id A --timeout_ms T] "
    "COMMAND [flags]\n"
    "commands:\n"
    "  auth     authenticate and print the reset schedules\n"
    "  submit   --leaderboard L --provider P --account A --score S "
    "[--type high|add|subtract] [--ranking_type R --time_span T] "
    "[--name N] [--metadata M] [--submission_id ID]\n"
    "  query    --leaderboard L [--collection public|social] [--time_span T] "
    "[--ranking_type R] [--range all|top|nearby --begin B --end E] "
    "[--provider P --account A] [--competitors p:a,p:b] "
    "[--period_start 20261207]\n"
    "  batch    like query, with comma-separated --leaderboard and "
    "--time_span lists (one query per pair)\n"
    "  delete   --leaderboard L1,L2 --provider P --account A1,A2\n"
    "  status   --leaderboard L --period day|week|month --schedule "
    "20210208T000000\n"
    "  reset    --leaderboard L\n"
    "  keygen   --app APP --key_id ID --rights R: prints a new key and its "
    "line for the server's keys file (connects to nothing)\n"
    "exit codes: 0 accepted, 1 refused, 2 timeout, 3 connection error, "
    "64 bad command line";

const char kUsageHint[] =
    "run 'leaderboard_cli --helpshort' for the commands and their flags\n";

// Thrown only inside this file, before anything is sent.
struct UsageError {
  std::string message;
};

bool IsSet(const char* flag) {
  return !gflags::GetCommandLineFlagInfoOrDie(flag).is_default;
}

std::string Required(const char* flag, const std::string& value) {
  if (value.empty())
    throw UsageError{std::string("--") + flag + " is required"};
  return value;
}

std::vector<std::string> List(const char* flag, const std::string& value) {
  std::vector<std::string> items;
  boost::algorithm::split(items, Required(flag, value),
                          [](char c) { return c == ','; });
  for (auto& item : items) {
    boost::algorithm::trim(item);
    if (item.empty())
      throw UsageError{std::string("--") + flag + ": empty item"};
  }
  return items;
}

QueryBuilder::TimeSpan TimeSpan(const std::string& text) {
  QueryBuilder::TimeSpan time_span = Leaderboard::LeaderboardQuery::kAllTime;
  if (!text.empty() && !ProtocolNames::ParseTimeSpan(text, &time_span)) {
    throw UsageError{"--time_span: unknown time span '" + text + "'"};
  }
  return time_span;
}

QueryBuilder::RankingType RankingType() {
  QueryBuilder::RankingType ranking_type =
      Leaderboard::LeaderboardQuery::Request::kPosition;
  if (!FLAGS_ranking_type.empty() &&
      !ProtocolNames::ParseRankingType(FLAGS_ranking_type, &ranking_type)) {
    throw UsageError{"--ranking_type: unknown ranking type '" +
                     FLAGS_ranking_type + "'"};
  }
  return ranking_type;
}

// The player named by --provider and --account, when both are given.
std::optional<Leaderboard::AccountId> OptionalAccount() {
  if (FLAGS_provider.empty() && FLAGS_account.empty()) return std::nullopt;
  return QueryBuilder::Account(Required("provider", FLAGS_provider),
                               Required("account", FLAGS_account));
}

Leaderboard::LeaderboardQuery::Request BuildQuery(
    const std::string& leaderboard_id, QueryBuilder::TimeSpan time_span) {
  Leaderboard::LeaderboardQuery::Collection collection;
  if (!ProtocolNames::ParseCollection(FLAGS_collection, &collection)) {
    throw UsageError{"--collection: expected public or social"};
  }
  Leaderboard::LeaderboardQuery::Range::Type range_type;
  if (!ProtocolNames::ParseRangeType(FLAGS_range, &range_type)) {
    throw UsageError{"--range: expected all, top or nearby"};
  }
  QueryBuilder::Range range = QueryBuilder::AllRange();
  if (range_type == Leaderboard::LeaderboardQuery::Range::kFromTop) {
    range = QueryBuilder::TopRange(FLAGS_begin, FLAGS_end);
  } else if (range_type == Leaderboard::LeaderboardQuery::Range::kNearby) {
    range = QueryBuilder::NearbyRange(FLAGS_begin, FLAGS_end);
  }
  std::vector<Leaderboard::AccountId> competitors;
  if (!ProtocolNames::ParseAccountList(FLAGS_competitors, &competitors)) {
    throw UsageError{"--competitors: expected provider:account,..."};
  }
  const auto account = OptionalAccount();
  Leaderboard::LeaderboardQuery::Request query;
  if (collection == Leaderboard::LeaderboardQuery::kSocial) {
    if (!account)
      throw UsageError{"a social query needs --provider and --account"};
    query = QueryBuilder::Social(leaderboard_id, *account, competitors,
                                 time_span, RankingType());
    // Honour an explicit range so that the server's checks can be tried.
    if (IsSet("range")) *query.mutable_range() = range;
  } else {
    query = QueryBuilder::Public(leaderboard_id, time_span, RankingType(),
                                 range, account);
    for (const auto& competitor : competitors)
      *query.add_competitors() = competitor;
  }
  if (!FLAGS_period_start.empty()) query.set_period_start(FLAGS_period_start);
  return query;
}

// Sends one prepared request on a connected, authenticated client.
using Action = std::function<LeaderboardClient::Result(
    LeaderboardClient&, std::chrono::milliseconds)>;

// Checks the flags of `command` and prepares its request, before anything
// is connected. Throws UsageError. "auth" needs no request beyond the
// authentication itself: an empty action.
Action Prepare(const std::string& command) {
  if (command == "auth") return nullptr;
  if (command == "submit") {
    Leaderboard::ScoreSubmission::Type type;
    if (!ProtocolNames::ParseSubmissionType(FLAGS_type, &type)) {
      throw UsageError{"--type: expected high, add or subtract"};
    }
    if (!IsSet("score")) throw UsageError{"--score is required"};
    std::optional<LeaderboardClient::RankLookup> rank;
    if (FLAGS_ranking_type.empty() && !FLAGS_time_span.empty()) {
      throw UsageError{"--time_span of a submission needs --ranking_type"};
    }
    if (!FLAGS_ranking_type.empty()) {
      rank = LeaderboardClient::RankLookup{RankingType(),
                                           TimeSpan(FLAGS_time_span)};
    }
    LeaderboardClient::Submission submission;
    submission.leaderboard_id = Required("leaderboard", FLAGS_leaderboard);
    submission.account =
        QueryBuilder::Account(Required("provider", FLAGS_provider),
                              Required("account", FLAGS_account));
    submission.score = FLAGS_score;
    submission.type = type;
    submission.rank = rank;
    if (IsSet("name")) submission.display_name = FLAGS_name;
    if (IsSet("metadata")) submission.metadata = FLAGS_metadata;
    if (IsSet("submission_id")) submission.submission_id = FLAGS_submission_id;
    return [=](LeaderboardClient& client, std::chrono::milliseconds timeout) {
      return client.SubmitScore(submission, timeout);
    };
  }
  if (command == "query") {
    const auto query = BuildQuery(Required("leaderboard", FLAGS_leaderboard),
                                  TimeSpan(FLAGS_time_span));
    return [=](LeaderboardClient& client, std::chrono::milliseconds timeout) {
      return client.Query(query, timeout);
    };
  }
  if (command == "batch") {
    std::vector<std::string> time_spans = {""};
    if (!FLAGS_time_span.empty())
      time_spans = List("time_span", FLAGS_time_span);
    std::vector<Leaderboard::LeaderboardQuery::Request> queries;
    for (const auto& leaderboard_id : List("leaderboard", FLAGS_leaderboard)) {
      for (const auto& time_span : time_spans) {
        queries.push_back(BuildQuery(leaderboard_id, TimeSpan(time_span)));
      }
    }
    return [=](LeaderboardClient& client, std::chrono::milliseconds timeout) {
      return client.QueryBatch(queries, timeout);
    };
  }
  if (command == "delete") {
    const std::string provider = Required("provider", FLAGS_provider);
    std::vector<LeaderboardClient::Deletion> deletions;
    for (const auto& leaderboard_id : List("leaderboard", FLAGS_leaderboard)) {
      for (const auto& account : List("account", FLAGS_account)) {
        deletions.push_back(
            {leaderboard_id, QueryBuilder::Account(provider, account)});
      }
    }
    return [=](LeaderboardClient& client, std::chrono::milliseconds timeout) {
      return client.DeleteScores(deletions, timeout);
    };
  }
  if (command == "status") {
    int32_t period = 0;
    if (!ProtocolNames::ParsePeriod(FLAGS_period, &period)) {
      throw UsageError{"--period: expected day, week, month or a number"};
    }
    const std::string leaderboard_id =
        Required("leaderboard", FLAGS_leaderboard);
    const std::string schedule = Required("schedule", FLAGS_schedule);
    return [=](LeaderboardClient& client, std::chrono::milliseconds timeout) {
      return client.ResetScheduleStatus(leaderboard_id, period, schedule,
                                        timeout);
    };
  }
  if (command == "reset") {
    const std::string leaderboard_id =
        Required("leaderboard", FLAGS_leaderboard);
    return [=](LeaderboardClient& client, std::chrono::milliseconds timeout) {
      return client.RequestReset(leaderboard_id, timeout);
    };
  }
  throw UsageError{"unknown command '" + command + "'"};
}

// Prints the outcome and turns it into the exit code.
int Report(const std::string& what, const LeaderboardClient::Result& result) {
  switch (result.status) {
    case LeaderboardClient::Status::kAnswered:
      if (result.ok()) {
        std::cout << ProtocolNames::Describe(result.response);
        return kExitOk;
      }
      std::cerr << what << " refused by the server\n"
                << ProtocolNames::Describe(result.response);
      return kExitRefused;
    case LeaderboardClient::Status::kTimedOut:
      std::cerr << what << ": " << result.error << "\n";
      return kExitTimeout;
    case LeaderboardClient::Status::kDisconnected:
    case LeaderboardClient::Status::kNotConnected:
      std::cerr << what << ": connection lost: " << result.error << "\n";
      return kExitConnection;
    case LeaderboardClient::Status::kInvalidRequest:
      std::cerr << what << ": request not sent: " << result.error << "\n";
      return kExitUsage;
  }
  return kExitConnection;
}

// Prints a new key and its keys-file line; nothing is sent anywhere.
int RunKeygen() {
  std::string key;
  std::string line;
  std::string error;
  if (!plemox::GameKey::Generate(FLAGS_app, FLAGS_key_id, FLAGS_rights, &key,
                                 &line, &error)) {
    std::cerr << "keygen: " << error << "\n" << kUsageHint;
    return kExitUsage;
  }
  std::cout << "key: " << key << "\n"
            << "line: " << line << "\n"
            << "Give the key to the game server (--key_file); add the line "
               "to the server's keys file and send the server SIGHUP.\n";
  return kExitOk;
}

// The key to authenticate with: --key_file, else PLEMOX_GAME_KEY, else none.
bool FindKey(std::string* key) {
  if (FLAGS_key_file.empty()) {
    const char* from_environment = std::getenv("PLEMOX_GAME_KEY");
    *key = from_environment ? from_environment : "";
    return true;
  }
  std::string error;
  if (plemox::GameKey::ReadFile(FLAGS_key_file, key, &error)) return true;
  std::cerr << error << "\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Quiet by default: the answer goes to stdout, problems to stderr.
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = google::GLOG_ERROR;
  gflags::SetUsageMessage(kUsage);
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  google::InitGoogleLogging(argv[0]);

  if (argc != 2) {
    std::cerr << "expected exactly one command\n" << kUsageHint;
    return kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "keygen") return RunKeygen();
  if (FLAGS_port <= 0 || FLAGS_port > 65535 || FLAGS_timeout_ms <= 0) {
    std::cerr << "--port must be 1-65535 and --timeout_ms positive\n";
    return kExitUsage;
  }
  const std::chrono::milliseconds timeout(FLAGS_timeout_ms);
  Action action;
  try {
    action = Prepare(command);
  } catch (const UsageError& error) {
    std::cerr << error.message << "\n" << kUsageHint;
    return kExitUsage;
  }

  std::string key;
  if (!FindKey(&key)) return kExitUsage;
  LeaderboardClient::Options options;
  options.tls.enabled = FLAGS_tls;
  options.tls.ca_file = FLAGS_tls_ca;
  options.tls.cert_file = FLAGS_tls_cert;
  options.tls.key_file = FLAGS_tls_key;
  options.tls.server_name = FLAGS_tls_server_name;
  LeaderboardClient client(options);
  if (!client.Connect(FLAGS_host, static_cast<uint16_t>(FLAGS_port), timeout)) {
    std::cerr << "cannot connect to " << FLAGS_host << ":" << FLAGS_port << ": "
              << client.LastError() << "\n";
    return kExitConnection;
  }
  const LeaderboardClient::Result authentication =
      client.Authenticate(FLAGS_app_id, key, timeout);
  if (!action || !authentication.ok()) {
    return Report("authentication", authentication);
  }
  return Report(command, action(client, timeout));
}

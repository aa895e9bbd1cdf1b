#include "leaderboard/console/console_routes.h"

#include <glog/logging.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/leaderboard_flags.h"
#include "leaderboard/console/console_assets.h"
#include "leaderboard/console/console_parameters.h"
#include "leaderboard/console/console_requests.h"
#include "leaderboard/core/ranking_options.h"
#include "leaderboard/core/request_limits.h"
#include "leaderboard/core/reset_schedule_registry.h"
#include "leaderboard/service/leaderboard_service.h"
#include "vel/core/json.h"
#include "vel/http/api_service.h"
#include "vel/http/health_checks.h"
#include "vel/http/static_files.h"
#include "vel/metrics/metrics_registry.h"

namespace plemox {
namespace {

using vel::ApiService;
using Json = nlohmann::ordered_json;
using Query = Leaderboard::LeaderboardQuery::Request;
using Range = Leaderboard::LeaderboardQuery::Range;
using Deletion = Leaderboard::ScoreDeletion::Request;
using TimeSpan = ConsoleParameters::TimeSpan;
using Numbering = ConsoleParameters::Numbering;

constexpr std::int64_t kDefaultPageSize = 50;

ApiService::Response JsonResponse(int status, const Json& body) {
  ApiService::Response response;
  response.status = status;
  response.headers["Content-Type"] = "application/json";
  // The page's data is never cached: it changes under the operator's eyes.
  response.headers["Cache-Control"] = "no-store";
  response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return response;
}

// The API service's own error form, so every refusal reads alike.
ApiService::Response ErrorResponse(int status, const std::string& message) {
  return JsonResponse(
      status, Json{{"error", true}, {"status", status}, {"message", message}});
}

std::string PlayerText(const std::string& provider,
                       const std::string& account) {
  return provider + ":" + account;
}

Query MakeQuery(const std::string& leaderboard_id, TimeSpan time_span,
                Numbering numbering, Range::Type type, std::int64_t begin,
                std::int64_t end) {
  Query query;
  query.set_leaderboard_id(leaderboard_id);
  query.set_collection(Leaderboard::LeaderboardQuery::kPublic);
  query.set_time_span(time_span);
  query.set_ranking_type(numbering);
  query.mutable_range()->set_type(type);
  query.mutable_range()->set_begin(begin);
  query.mutable_range()->set_end(end);
  return query;
}

// The player's own record in one ranking: a window of one around them.
Query MakeOwnRecordQuery(const std::string& leaderboard_id, TimeSpan time_span,
                         Numbering numbering, const std::string& provider,
                         const std::string& account) {
  Query query =
      MakeQuery(leaderboard_id, time_span, numbering, Range::kNearby, 0, 0);
  query.mutable_account_id()->set_service_provider(provider);
  query.mutable_account_id()->set_local_account(account);
  return query;
}

// Standard base64 with padding: metadata is any bytes, and JSON holds text.
std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      group =
          group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3f] : '=';
    }
  }
  return out;
}

// One ranked record as the routes show it. The one place that turns a
// protocol record into JSON. The player's name and metadata (base64, with
// its size) only when the player has them.
Json RecordJson(const Leaderboard::LeaderboardQuery::Record& record) {
  Json json{{"rank", record.rank()},
            {"score", record.score()},
            {"provider", record.account_id().service_provider()},
            {"account", record.account_id().local_account()}};
  if (record.has_display_name()) json["display_name"] = record.display_name();
  if (record.has_metadata()) {
    json["metadata"] = Base64(record.metadata());
    json["metadata_bytes"] = record.metadata().size();
  }
  return json;
}

// A failed protocol answer as an HTTP error: a refused request is the
// caller's fault (400), anything else the server's (500).
ApiService::Response FailureResponse(const Leaderboard::Response& response,
                                     const std::string& what) {
  const bool refused =
      response.fail().code() == Leaderboard::Response::kFailInvalidParameter;
  return ErrorResponse(refused ? 400 : 500,
                       what + ": " + ConsoleRequests::FailureText(response));
}

// How many queries of one console request run at once: enough to overlap
// their round trips, few enough that a server with many leaderboards does
// not flood its event threads ahead of the game servers' requests.
constexpr std::size_t kQueriesInFlight = 8;

// The queries of one console request and their answers, in request order.
struct Fanout {
  std::string remote;
  std::vector<Query> queries;
  std::function<void(const std::vector<Leaderboard::Response>&)> finish;
  std::mutex mutex;
  std::size_t next = 0;       // GUARDED_BY(mutex): the next query to start
  std::size_t remaining = 0;  // GUARDED_BY(mutex): queries not answered yet
  std::vector<Leaderboard::Response> answers;  // GUARDED_BY(mutex)
};

// Starts the next query of `fanout`, if any is left; its answer starts the
// one after it, and the last answer calls `finish`.
void StartNextQuery(const std::shared_ptr<Fanout>& fanout) {
  std::size_t index = 0;
  {
    std::lock_guard<std::mutex> lock(fanout->mutex);
    if (fanout->next == fanout->queries.size()) return;
    index = fanout->next++;
  }
  ConsoleRequests::Query(
      fanout->remote, fanout->queries[index],
      [fanout, index](const Leaderboard::Response& response) {
        bool last = false;
        {
          std::lock_guard<std::mutex> lock(fanout->mutex);
          fanout->answers[index] = response;
          last = --fanout->remaining == 0;
        }
        if (last) {
          fanout->finish(fanout->answers);
        } else {
          StartNextQuery(fanout);
        }
      });
}

// Runs `queries`, kQueriesInFlight at a time, and calls `finish` with their
// answers in the same order after the last one (on the thread of that
// answer, or at once when there are none).
void RunQueries(
    const std::string& remote, std::vector<Query> queries,
    std::function<void(const std::vector<Leaderboard::Response>&)> finish) {
  auto fanout = std::make_shared<Fanout>();
  fanout->remote = remote;
  fanout->remaining = queries.size();
  fanout->answers.resize(queries.size());
  fanout->queries = std::move(queries);
  fanout->finish = std::move(finish);
  if (fanout->queries.empty()) {
    fanout->finish(fanout->answers);
    return;
  }
  for (std::size_t i = 0; i < kQueriesInFlight; ++i) StartNextQuery(fanout);
}

// ---- GET /v1/console/leaderboards/ ----------------------------------------

Json SchedulesOf(const std::string& leaderboard_id,
                 const std::vector<ResetSchedule>& schedules) {
  Json list = Json::array();
  for (const auto& schedule : schedules) {
    if (schedule.leaderboard_id() != leaderboard_id) continue;
    vel::Json form = vel::Json::MakeObject();
    schedule.ToJson(&form);
    list.push_back(form.value());
  }
  return list;
}

void OnLeaderboardsRequested(const ApiService::Request& request,
                             const ApiService::Match& /*match*/,
                             ApiService::Done done) {
  const std::vector<std::string> ids = LeaderboardService::leaderboard_ids();
  const auto& spans = ConsoleParameters::TimeSpans();
  // The size of every ranking: a one-record page of each, whose answer
  // carries the ranking's player count.
  std::vector<Query> queries;
  for (const auto& id : ids) {
    for (const TimeSpan span : spans) {
      queries.push_back(
          MakeQuery(id, span, Query::kPosition, Range::kFromTop, 0, 0));
    }
  }
  RunQueries(
      request.remote, std::move(queries),
      [ids, spans, done](const std::vector<Leaderboard::Response>& all) {
        const auto schedules = ResetScheduleRegistry::Snapshot();
        Json list = Json::array();
        std::size_t next = 0;
        for (const auto& id : ids) {
          RankingOption option;
          RankingOptions::GetRankingOption(id, &option);
          Json players = Json::object();
          for (const TimeSpan span : spans) {
            const auto& answer = all[next++];
            players[ConsoleParameters::TimeSpanName(span)] =
                answer.has_fail()
                    ? Json()
                    : Json(answer.leaderboard_query().total_player_count());
          }
          list.push_back(Json{{"id", id},
                              {"ranking_option",
                               {{"enable_alltime", option.enable_alltime},
                                {"enable_dense", option.enable_dense}}},
                              {"schedules", SchedulesOf(id, schedules)},
                              {"players", players}});
        }
        done(JsonResponse(
            200, Json{{"leaderboards", list},
                      {"time_spans", ConsoleParameters::TimeSpanNames()},
                      {"numberings", ConsoleParameters::NumberingNames()},
                      {"max_page_size", FLAGS_max_records_per_answer},
                      {"forced_reset_enabled",
                       FLAGS_enable_reset_leaderboard_api}}));
      });
}

// ---- GET /v1/console/leaderboards/<id>/ranking/ ---------------------------

// What a ranking page asks for, read from the query string.
struct PageRequest {
  std::string leaderboard_id;
  TimeSpan time_span = Leaderboard::LeaderboardQuery::kAllTime;
  Numbering numbering = Query::kPosition;
  std::int64_t from = 1;  // 1-based position of the first record
  std::int64_t size = kDefaultPageSize;
  std::string provider;  // both set: the page around this player
  std::string account;
};

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// Reads the common parameters (time_span, numbering); "" or the refusal.
std::string ReadSpanAndNumbering(const ConsoleParameters::Values& values,
                                 TimeSpan* time_span, Numbering* numbering) {
  auto it = values.find("time_span");
  if (it != values.end() &&
      !ConsoleParameters::ParseTimeSpan(it->second, time_span)) {
    return "unknown time_span '" + it->second + "' (" +
           Join(ConsoleParameters::TimeSpanNames()) + ")";
  }
  it = values.find("numbering");
  if (it != values.end() &&
      !ConsoleParameters::ParseNumbering(it->second, numbering)) {
    return "unknown numbering '" + it->second + "' (" +
           Join(ConsoleParameters::NumberingNames()) + ")";
  }
  return "";
}

// Reads the player named by "provider" and "account"; `required` refuses
// their absence. "" or the refusal.
std::string ReadPlayer(const ConsoleParameters::Values& values, bool required,
                       std::string* provider, std::string* account) {
  const auto p = values.find("provider");
  const auto a = values.find("account");
  if (p == values.end() && a == values.end() && !required) return "";
  *provider = p == values.end() ? "" : p->second;
  *account = a == values.end() ? "" : a->second;
  const std::string problem = RequestLimits::CheckPlayerId(*provider, *account);
  return problem.empty() ? "" : "bad player id: " + problem;
}

// Reads a route's query string and its leaderboard: on a refusal answers it
// and returns false.
bool ReadRequest(const ApiService::Request& request,
                 const ApiService::Match& match,
                 ConsoleParameters::Values* values, std::string* leaderboard_id,
                 const ApiService::Done& done) {
  std::string error;
  if (!ConsoleParameters::ParseQuery(request.query, values, &error)) {
    done(ErrorResponse(400, error));
    return false;
  }
  if (leaderboard_id == nullptr) return true;
  *leaderboard_id = match["leaderboard_id"].str();
  const auto ids = LeaderboardService::leaderboard_ids();
  if (!std::binary_search(ids.begin(), ids.end(), *leaderboard_id)) {
    done(ErrorResponse(404, "unknown leaderboard '" + *leaderboard_id + "'"));
    return false;
  }
  return true;
}

std::string ReadPage(const ConsoleParameters::Values& values,
                     PageRequest* page) {
  std::string problem =
      ReadSpanAndNumbering(values, &page->time_span, &page->numbering);
  if (!problem.empty()) return problem;
  const auto max_size = static_cast<std::int64_t>(
      std::min<std::uint64_t>(FLAGS_max_records_per_answer, 1000000));
  auto it = values.find("size");
  if (it != values.end() &&
      !ConsoleParameters::ParseNumber(it->second, 1, max_size, &page->size)) {
    return "page size '" + it->second + "' out of range: 1 to " +
           std::to_string(max_size) + " (--max_records_per_answer)";
  }
  it = values.find("from");
  if (it != values.end() && !ConsoleParameters::ParseNumber(
                                it->second, 1, 1000000000000LL, &page->from)) {
    return "from '" + it->second + "' must be a position from 1";
  }
  return ReadPlayer(values, false, &page->provider, &page->account);
}

void AnswerPage(const PageRequest& page,
                const std::optional<std::int64_t>& player_position,
                const Leaderboard::Response& response,
                const ApiService::Done& done) {
  if (response.has_fail()) {
    done(FailureResponse(response, "the ranking could not be read"));
    return;
  }
  const auto& result = response.leaderboard_query();
  Json records = Json::array();
  std::int64_t position = page.from;
  for (const auto& record : result.record()) {
    Json entry = RecordJson(record);
    entry["position"] = position++;
    records.push_back(std::move(entry));
  }
  Json body{{"leaderboard_id", page.leaderboard_id},
            {"time_span", ConsoleParameters::TimeSpanName(page.time_span)},
            {"numbering", ConsoleParameters::NumberingName(page.numbering)},
            {"total_player_count", result.total_player_count()},
            {"from", page.from},
            {"size", page.size},
            {"records", records}};
  if (player_position) {
    body["player"] = Json{{"provider", page.provider},
                          {"account", page.account},
                          {"position", *player_position}};
  }
  done(JsonResponse(200, body));
}

void RunPage(const std::string& remote, const PageRequest& page,
             const std::optional<std::int64_t>& player_position,
             const ApiService::Done& done) {
  const Query query =
      MakeQuery(page.leaderboard_id, page.time_span, page.numbering,
                Range::kFromTop, page.from - 1, page.from - 1 + page.size - 1);
  ConsoleRequests::Query(
      remote, query,
      [page, player_position, done](const Leaderboard::Response& response) {
        AnswerPage(page, player_position, response, done);
      });
}

void OnRankingRequested(const ApiService::Request& request,
                        const ApiService::Match& match, ApiService::Done done) {
  ConsoleParameters::Values values;
  PageRequest page;
  if (!ReadRequest(request, match, &values, &page.leaderboard_id, done)) {
    return;
  }
  const std::string problem = ReadPage(values, &page);
  if (!problem.empty()) {
    done(ErrorResponse(400, problem));
    return;
  }
  if (page.provider.empty()) {
    RunPage(request.remote, page, std::nullopt, done);
    return;
  }
  // Around a player: their position first (a window of one, numbered by
  // position), then the page that has them in its middle.
  const std::string remote = request.remote;
  ConsoleRequests::Query(
      remote,
      MakeOwnRecordQuery(page.leaderboard_id, page.time_span, Query::kPosition,
                         page.provider, page.account),
      [remote, page, done](const Leaderboard::Response& response) mutable {
        if (response.has_fail()) {
          done(FailureResponse(response, "the player could not be looked up"));
          return;
        }
        const auto& own = response.leaderboard_query();
        const std::int64_t position =
            own.record_size() == 1 ? own.record(0).rank() : 0;
        if (position <= 0) {
          done(ErrorResponse(
              404, "player " + PlayerText(page.provider, page.account) +
                       " has no score in " + page.leaderboard_id + " " +
                       ConsoleParameters::TimeSpanName(page.time_span)));
          return;
        }
        page.from = std::max<std::int64_t>(1, position - page.size / 2);
        RunPage(remote, page, position, done);
      });
}

// ---- GET /v1/console/players/ ---------------------------------------------

void OnPlayerRequested(const ApiService::Request& request,
                       const ApiService::Match& match, ApiService::Done done) {
  ConsoleParameters::Values values;
  if (!ReadRequest(request, match, &values, nullptr, done)) return;
  TimeSpan unused_span = Leaderboard::LeaderboardQuery::kAllTime;
  Numbering numbering = Query::kPosition;
  std::string provider;
  std::string account;
  std::string problem = ReadSpanAndNumbering(values, &unused_span, &numbering);
  if (problem.empty()) problem = ReadPlayer(values, true, &provider, &account);
  if (!problem.empty()) {
    done(ErrorResponse(400, problem));
    return;
  }
  const std::vector<std::string> ids = LeaderboardService::leaderboard_ids();
  const auto& spans = ConsoleParameters::TimeSpans();
  std::vector<Query> queries;
  for (const auto& id : ids) {
    for (const TimeSpan span : spans) {
      queries.push_back(
          MakeOwnRecordQuery(id, span, numbering, provider, account));
    }
  }
  RunQueries(
      request.remote, std::move(queries),
      [ids, spans, provider, account, numbering,
       done](const std::vector<Leaderboard::Response>& all) {
        Json entries = Json::array();
        std::size_t next = 0;
        for (const auto& id : ids) {
          for (const TimeSpan span : spans) {
            const auto& answer = all[next++];
            if (answer.has_fail()) {
              done(FailureResponse(answer,
                                   "the player could not be looked up "
                                   "in " +
                                       id));
              return;
            }
            const auto& result = answer.leaderboard_query();
            // A player without an entry gets a placeholder of rank 0.
            if (result.record_size() != 1 || result.record(0).rank() <= 0) {
              continue;
            }
            Json entry = RecordJson(result.record(0));
            entry["leaderboard_id"] = id;
            entry["time_span"] = ConsoleParameters::TimeSpanName(span);
            entry["total_player_count"] = result.total_player_count();
            entries.push_back(std::move(entry));
          }
        }
        done(JsonResponse(
            200,
            Json{{"provider", provider},
                 {"account", account},
                 {"numbering", ConsoleParameters::NumberingName(numbering)},
                 {"entries", entries}}));
      });
}

// ---- DELETE /v1/console/leaderboards/<id>/players/ ------------------------

void OnScoresDeletionRequested(const ApiService::Request& request,
                               const ApiService::Match& match,
                               ApiService::Done done) {
  ConsoleParameters::Values values;
  std::string leaderboard_id;
  if (!ReadRequest(request, match, &values, &leaderboard_id, done)) return;
  std::string provider;
  std::string account;
  const std::string problem = ReadPlayer(values, true, &provider, &account);
  if (!problem.empty()) {
    done(ErrorResponse(400, problem));
    return;
  }
  const std::string player = PlayerText(provider, account);
  const std::string remote = request.remote;
  LOG(INFO) << "Console: deleting the scores of " << player
            << " on leaderboard " << leaderboard_id << ", remote=" << remote;
  Deletion deletion;
  deletion.set_leaderboard_id(leaderboard_id);
  deletion.mutable_account_id()->set_service_provider(provider);
  deletion.mutable_account_id()->set_local_account(account);
  ConsoleRequests::DeleteScore(
      remote, deletion,
      [leaderboard_id, provider, account, player, remote,
       done](const Leaderboard::Response& response) {
        if (response.has_fail() || response.score_deletions_size() != 1) {
          LOG(WARNING) << "Console: deleting the scores of " << player
                       << " on leaderboard " << leaderboard_id
                       << " failed: " << ConsoleRequests::FailureText(response)
                       << ", remote=" << remote;
          done(FailureResponse(response, "the scores could not be deleted"));
          return;
        }
        const bool removed = response.score_deletions(0).result() ==
                             Leaderboard::ScoreDeletion::Response::kRemoved;
        LOG(INFO) << "Console: deleted the scores of " << player
                  << " on leaderboard " << leaderboard_id
                  << (removed ? " (had an all-time entry)"
                              : " (had no all-time entry)")
                  << ", remote=" << remote;
        done(JsonResponse(
            200, Json{{"leaderboard_id", leaderboard_id},
                      {"provider", provider},
                      {"account", account},
                      {"result", removed ? "removed" : "not_found"},
                      {"message", removed ? "The player's scores were deleted "
                                            "from every time span."
                                          : "The player had no all-time "
                                            "entry; every time span was "
                                            "cleared all the same."}}));
      });
}

// ---- GET /v1/console/health/ ----------------------------------------------

// Every metric of /metrics summed over its labels (histograms by their
// _count and _sum), by name.
Json MetricFigures() {
  std::map<std::string, double> sums;
  std::istringstream lines(vel::MetricsRegistry::Serialize());
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t name_end = line.find_first_of("{ ");
    const std::size_t value_start = line.rfind(' ');
    if (name_end == std::string::npos || value_start == std::string::npos) {
      continue;
    }
    const std::string name = line.substr(0, name_end);
    if (name.size() > 7 && name.compare(name.size() - 7, 7, "_bucket") == 0) {
      continue;
    }
    const double value = std::strtod(line.c_str() + value_start + 1, nullptr);
    if (std::isfinite(value)) sums[name] += value;
  }
  Json figures = Json::object();
  for (const auto& [name, value] : sums) figures[name] = value;
  return figures;
}

bool OnHealthRequested(ApiService::Response* response,
                       const ApiService::Request& /*request*/,
                       const ApiService::Match& /*match*/) {
  const vel::HealthChecks::Readiness readiness =
      vel::HealthChecks::CheckReadiness();
  Json checks = Json::object();
  for (const auto& [name, error] : readiness.results) {
    checks[name] = error.empty() ? Json{{"ok", true}}
                                 : Json{{"ok", false}, {"error", error}};
  }
  const std::string self = LeaderboardService::self_master_info();
  const std::string master = LeaderboardService::master_info();
  *response = JsonResponse(
      200, Json{{"ready", readiness.ready},
                {"checks", checks},
                {"master",
                 {{"self", self},
                  {"current", master},
                  {"is_master", !self.empty() && self == master}}},
                {"forced_reset_enabled", FLAGS_enable_reset_leaderboard_api},
                {"metrics", MetricFigures()}});
  return true;
}

}  // namespace

void ConsoleRoutes::Register() {
  const std::string id = R"((?<leaderboard_id>\w+))";
  ApiService::RegisterHandler3(ApiService::kGet,
                               boost::regex("/v1/console/leaderboards/"),
                               &OnLeaderboardsRequested);
  ApiService::RegisterHandler3(
      ApiService::kGet,
      boost::regex("/v1/console/leaderboards/" + id + "/ranking/"),
      &OnRankingRequested);
  ApiService::RegisterHandler3(ApiService::kGet,
                               boost::regex("/v1/console/players/"),
                               &OnPlayerRequested);
  ApiService::RegisterHandler3(
      ApiService::kDelete,
      boost::regex("/v1/console/leaderboards/" + id + "/players/"),
      &OnScoresDeletionRequested);
  ApiService::RegisterHandler(ApiService::kGet,
                              boost::regex("/v1/console/health/"),
                              &OnHealthRequested);
  vel::StaticFiles::Register("/console/", ConsoleAssets());
}

}  // namespace plemox

#include "support/store_probe.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <sstream>

#include "support/test_env.h"
#include "vel/mariadb/mariadb.h"
#include "vel/mariadb/result_sets.h"

namespace plemox_test {

struct StoreProbe::RedisConnection {
  redisContext* context = nullptr;
  ~RedisConnection() {
    if (context != nullptr) redisFree(context);
  }
};

StoreProbe::StoreProbe() : StoreProbe(RedisPort()) {}

StoreProbe::StoreProbe(int redis_port)
    : redis_(std::make_unique<RedisConnection>()) {
  redis_->context = redisConnect(RedisHost().c_str(), redis_port);
  EXPECT_TRUE(redis_->context != nullptr && redis_->context->err == 0)
      << "cannot reach the test Redis";
  mariadb_ = vel::Mariadb::Create(
      MysqlUrl(), MysqlUser(), MysqlPassword(), MysqlDatabase(), 1, "utf8",
      true, vel::Mariadb::kDefaultClientFlags, 5000, nullptr);
  EXPECT_TRUE(mariadb_ && mariadb_->Initialize())
      << "cannot reach the test MariaDB";
}

StoreProbe::~StoreProbe() {
  if (mariadb_) mariadb_->Finalize();
}

std::vector<std::string> StoreProbe::RedisCommand(
    const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (const auto& arg : args) {
    argv.push_back(arg.data());
    lengths.push_back(arg.size());
  }
  std::vector<std::string> out;
  auto* reply = static_cast<redisReply*>(
      redisCommandArgv(redis_->context, static_cast<int>(argv.size()),
                       argv.data(), lengths.data()));
  if (reply == nullptr) {
    ADD_FAILURE() << "Redis command failed: " << args.front();
    return out;
  }
  if (reply->type == REDIS_REPLY_ARRAY) {
    for (size_t i = 0; i < reply->elements; ++i) {
      const redisReply* element = reply->element[i];
      if (element->type == REDIS_REPLY_ARRAY) {
        // SCAN: cursor, then an array of keys.
        for (size_t j = 0; j < element->elements; ++j) {
          out.emplace_back(element->element[j]->str, element->element[j]->len);
        }
      } else if (element->str != nullptr) {
        out.emplace_back(element->str, element->len);
      } else {
        out.emplace_back(std::to_string(element->integer));
      }
    }
  } else if (reply->type == REDIS_REPLY_INTEGER) {
    out.push_back(std::to_string(reply->integer));
  } else if (reply->str != nullptr) {
    out.emplace_back(reply->str, reply->len);
  }
  freeReplyObject(reply);
  return out;
}

std::vector<std::pair<std::string, double>> StoreProbe::SortedSet(
    const std::string& key) {
  const auto flat = RedisCommand({"ZREVRANGE", key, "0", "-1", "WITHSCORES"});
  std::vector<std::pair<std::string, double>> out;
  for (size_t i = 0; i + 1 < flat.size(); i += 2) {
    out.emplace_back(flat[i], std::stod(flat[i + 1]));
  }
  return out;
}

std::map<std::string, std::string> StoreProbe::Hash(const std::string& key) {
  const auto flat = RedisCommand({"HGETALL", key});
  std::map<std::string, std::string> out;
  for (size_t i = 0; i + 1 < flat.size(); i += 2) out[flat[i]] = flat[i + 1];
  return out;
}

bool StoreProbe::KeyExists(const std::string& key) {
  const auto reply = RedisCommand({"EXISTS", key});
  return !reply.empty() && reply.front() == "1";
}

void StoreProbe::SetString(const std::string& key, const std::string& value) {
  RedisCommand({"SET", key, value});
}

void StoreProbe::CopyKey(const std::string& source,
                         const std::string& destination) {
  RedisCommand({"COPY", source, destination, "REPLACE"});
}

void StoreProbe::DeleteKeys(const std::string& pattern) {
  std::string cursor = "0";
  do {
    auto reply =
        RedisCommand({"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"});
    if (reply.empty()) return;
    cursor = reply.front();
    for (size_t i = 1; i < reply.size(); ++i) RedisCommand({"DEL", reply[i]});
  } while (cursor != "0");
}

std::optional<std::map<std::string, std::pair<double, std::int64_t>>>
StoreProbe::ScoreRows(const std::string& table) {
  std::shared_ptr<vel::ResultSets> results;
  const auto error = mariadb_->ExecuteQuerySync(
      "SELECT service_provider, local_account, score, time_stamp FROM " + table,
      &results);
  if (error) return std::nullopt;
  std::map<std::string, std::pair<double, std::int64_t>> rows;
  if (results && results->SeekNextResultSet()) {
    while (results->SeekNextRow()) {
      rows[results->GetString(0) + ":" + results->GetString(1)] = {
          results->GetDouble(2), results->GetInt(3)};
    }
  }
  return rows;
}

std::vector<std::vector<std::string>> StoreProbe::Rows(
    const std::string& select) {
  std::shared_ptr<vel::ResultSets> results;
  const auto error = mariadb_->ExecuteQuerySync(select, &results);
  EXPECT_FALSE(error) << error << ": " << select;
  std::vector<std::vector<std::string>> rows;
  if (error || !results || !results->SeekNextResultSet()) return rows;
  while (results->SeekNextRow()) {
    std::vector<std::string> row;
    for (std::size_t i = 0; i < results->GetColumnCount(); ++i) {
      row.push_back(results->GetString(i));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string StoreProbe::Execute(const std::string& statement) {
  const auto error = mariadb_->ExecuteQuerySync(statement);
  if (!error) return "";
  std::ostringstream text;
  text << error;
  return text.str();
}

void StoreProbe::DropTables(const std::string& prefix) {
  std::shared_ptr<vel::ResultSets> results;
  if (mariadb_->ExecuteQuerySync("SHOW TABLES LIKE '" + prefix + "%'",
                                 &results)) {
    return;
  }
  std::vector<std::string> tables;
  if (results && results->SeekNextResultSet()) {
    while (results->SeekNextRow()) tables.push_back(results->GetString(0));
  }
  for (const auto& table : tables) Execute("DROP TABLE IF EXISTS " + table);
}

void StoreProbe::ForgetLeaderboards(const std::string& prefix) {
  DeleteKeys("leaderboard:" + prefix + "*");
  DropTables(prefix);
  const std::string like = "LIKE '" + prefix + "%'";
  Execute("DELETE FROM reset_schedule_log WHERE leaderboard_key " + like);
  // The periods their resets archived (the tables may not exist yet).
  Execute(
      "DELETE FROM period_archive_standing WHERE period_id IN (SELECT "
      "period_id FROM period_archive WHERE leaderboard_id " +
      like + ")");
  Execute("DELETE FROM period_archive WHERE leaderboard_id " + like);
  Execute("DELETE FROM period_end_notification WHERE leaderboard_id " + like);
  Execute("DELETE FROM leaderboard_definition WHERE leaderboard_id " + like);
}

}  // namespace plemox_test

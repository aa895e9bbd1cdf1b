// Direct reads of the test Redis and MariaDB, so end-to-end tests can check
// what the server wrote. Test-only; any test thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vel {
class Mariadb;
}

namespace plemox_test {

class StoreProbe {
 public:
  // Connects to the test servers (environment of scripts/services.sh).
  StoreProbe();
  // The same with the Redis on 127.0.0.1:`redis_port` (a test's own).
  explicit StoreProbe(int redis_port);
  ~StoreProbe();
  StoreProbe(const StoreProbe&) = delete;
  StoreProbe& operator=(const StoreProbe&) = delete;

  // ZREVRANGE key 0 -1 WITHSCORES.
  std::vector<std::pair<std::string, double>> SortedSet(const std::string& key);
  // HGETALL key.
  std::map<std::string, std::string> Hash(const std::string& key);
  bool KeyExists(const std::string& key);
  // SET key value.
  void SetString(const std::string& key, const std::string& value);
  // COPY source destination REPLACE.
  void CopyKey(const std::string& source, const std::string& destination);
  // Any Redis command; the reply flattened to texts (integers as decimal).
  std::vector<std::string> RedisCall(const std::vector<std::string>& args) {
    return RedisCommand(args);
  }
  // Deletes every key matching `pattern` (SCAN + DEL).
  void DeleteKeys(const std::string& pattern);

  // Rows of a score table keyed by "service_provider:local_account", with
  // (score, time_stamp); nullopt when the table does not exist.
  std::optional<std::map<std::string, std::pair<double, std::int64_t>>>
  ScoreRows(const std::string& table);
  // The rows of a SELECT, each column as text; empty on error (which fails
  // the test).
  std::vector<std::vector<std::string>> Rows(const std::string& select);
  // Runs a statement; returns the error text, empty on success.
  std::string Execute(const std::string& statement);
  // Drops every table whose name starts with `prefix`.
  void DropTables(const std::string& prefix);
  // Forgets the leaderboards whose ids start with `prefix`: their keys in
  // this probe's Redis, their tables, their reset log rows, their
  // archived periods and notifications and their definitions.
  void ForgetLeaderboards(const std::string& prefix);

 private:
  std::vector<std::string> RedisCommand(const std::vector<std::string>& args);

  struct RedisConnection;
  std::unique_ptr<RedisConnection> redis_;
  std::shared_ptr<vel::Mariadb> mariadb_;
};

}  // namespace plemox_test

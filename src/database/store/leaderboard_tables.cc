#include "database/store/leaderboard_tables.h"

#include <glog/logging.h>

#include <functional>
#include <utility>

#include "common/leaderboard_assert.h"
#include "common/leaderboard_flags.h"
#include "database/store/mysql_schema.h"

namespace plemox {

namespace {

// The CREATE TABLE statements of a leaderboard created at run time, as one
// text (the client sends several statements at once).
std::string MakeCreationStatement(const std::string& leaderboard_id) {
  std::string statement;
  for (const std::string& table :
       MakeLeaderboardTableQueries(leaderboard_id, nullptr)) {
    if (!statement.empty()) statement += "\n";
    statement += table;
  }
  return statement;
}

}  // namespace

const std::shared_ptr<LeaderboardTables>& LeaderboardTables::Process() {
  static const std::shared_ptr<LeaderboardTables> tables =
      std::make_shared<LeaderboardTables>(
          FLAGS_mysql_db_pending_write_limit > 0
              ? FLAGS_mysql_db_pending_write_limit
              : vel::Mariadb::kDefaultPendingWriteLimit);
  return tables;
}

LeaderboardTables::LeaderboardTables(std::size_t max_waiting)
    : max_waiting_(max_waiting) {
  LEADERBOARD_ASSERT(max_waiting_ > 0);
}

void LeaderboardTables::MarkExisting(
    const std::set<std::string>& leaderboard_ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  known_.insert(leaderboard_ids.begin(), leaderboard_ids.end());
}

void LeaderboardTables::Forget(const std::string& leaderboard_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  known_.erase(leaderboard_id);
}

bool LeaderboardTables::IsKnown(const std::string& leaderboard_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return known_.count(leaderboard_id) != 0;
}

std::vector<std::string> LeaderboardTables::known_ids() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<std::string>(known_.begin(), known_.end());
}

std::size_t LeaderboardTables::waiting_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

void LeaderboardTables::WhenCreated(const std::shared_ptr<vel::Mariadb>& client,
                                    const std::string& leaderboard_id,
                                    Ready ready) {
  LEADERBOARD_ASSERT(client);
  bool start = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (known_.count(leaderboard_id) != 0) {
      lock.unlock();
      ready(vel::Mariadb::Error());
      return;
    }
    if (waiting_ >= max_waiting_) {
      lock.unlock();
      LOG_EVERY_N(ERROR, 1000)
          << "Too many operations wait for the creation of leaderboard "
             "tables; refused: leaderboard id="
          << leaderboard_id << ", waiting=" << max_waiting_;
      vel::Mariadb::Error error;
      error.code = vel::Mariadb::kWriteLimitError;
      error.description =
          "too many operations wait for the creation of leaderboard tables";
      error.sql_state = "HY000";
      ready(error);
      return;
    }
    auto inserted = creating_.emplace(leaderboard_id, std::vector<Ready>());
    start = inserted.second;
    inserted.first->second.push_back(std::move(ready));
    ++waiting_;
  }
  if (!start) return;
  LOG(INFO) << "Creating the tables of a leaderboard created at run time"
            << ": leaderboard id=" << leaderboard_id;
  // The client completes every statement (at the latest when it is
  // finalized), so the waiting operations are always let go.
  const std::shared_ptr<LeaderboardTables> self = shared_from_this();
  client->ExecuteWriteInOrder(
      std::hash<std::string>()(leaderboard_id),
      MakeCreationStatement(leaderboard_id),
      [self, leaderboard_id](const std::shared_ptr<vel::ResultSets>&,
                             const vel::Mariadb::Error& error) {
        self->OnCreated(leaderboard_id, error);
      });
}

void LeaderboardTables::OnCreated(const std::string& leaderboard_id,
                                  const vel::Mariadb::Error& error) {
  if (error) {
    std::vector<Ready> failed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = creating_.find(leaderboard_id);
      if (it != creating_.end()) {
        failed.swap(it->second);
        creating_.erase(it);
      }
      waiting_ -= failed.size();
    }
    LOG(ERROR) << "Failed to create the tables of a leaderboard: " << error
               << ", leaderboard id=" << leaderboard_id
               << ", failed operations=" << failed.size();
    for (const Ready& ready : failed) ready(error);
    return;
  }
  LOG(INFO) << "The tables of a leaderboard created at run time exist"
            << ": leaderboard id=" << leaderboard_id;
  // Operations that arrive while the waiting ones are let go join the list
  // and go in the next round: the id counts as known only once the list is
  // empty, so none of them can overtake an earlier one.
  for (;;) {
    std::vector<Ready> waiting;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = creating_.find(leaderboard_id);
      if (it == creating_.end() || it->second.empty()) {
        if (it != creating_.end()) creating_.erase(it);
        known_.insert(leaderboard_id);
        return;
      }
      waiting.swap(it->second);
      waiting_ -= waiting.size();
    }
    for (const Ready& ready : waiting) ready(vel::Mariadb::Error());
  }
}

}  // namespace plemox

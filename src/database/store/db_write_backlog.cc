#include "database/store/db_write_backlog.h"

#include <glog/logging.h>
#include <mysqld_error.h>
#include <unistd.h>

#include <algorithm>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <chrono>
#include <utility>

#include "common/leaderboard_flags.h"
#include "database/store/mysql_schema.h"
#include "database/store/player_profile_schema.h"
#include "vel/core/monotonic_clock.h"
#include "vel/core/wall_clock.h"
#include "vel/redis/redis_script.h"

namespace plemox {
namespace {

using vel::Mariadb;
using vel::Redis;
using vel::RedisValue;

// KEYS: origins, list, alive. ARGV: origin, alive ms (0: leave the alive
// key), entries...
const vel::RedisScript& PushScript() {
  static const vel::RedisScript script("backlog push", R"lua(
for i = 3, #ARGV do redis.call('RPUSH', KEYS[2], ARGV[i]) end
redis.call('SADD', KEYS[1], ARGV[1])
if tonumber(ARGV[2]) > 0 then
  redis.call('SET', KEYS[3], '1', 'PX', ARGV[2])
end
return redis.call('LLEN', KEYS[2])
)lua");
  return script;
}

// KEYS: origins. ARGV: key prefix. Per list: origin, length, first entry,
// whether its process is alive.
const vel::RedisScript& StatsScript() {
  static const vel::RedisScript script("backlog stats", R"lua(
local out = {}
for _, origin in ipairs(redis.call('SMEMBERS', KEYS[1])) do
  local list = ARGV[1] .. 'list:' .. origin
  out[#out + 1] = origin
  out[#out + 1] = redis.call('LLEN', list)
  out[#out + 1] = redis.call('LINDEX', list, 0) or ''
  out[#out + 1] = redis.call('EXISTS', ARGV[1] .. 'alive:' .. origin)
end
return out
)lua");
  return script;
}

// KEYS: alive, list. ARGV: ms. Keeps the alive key while the list exists.
const vel::RedisScript& HeartbeatScript() {
  static const vel::RedisScript script("backlog heartbeat", R"lua(
if redis.call('EXISTS', KEYS[2]) == 1 then
  redis.call('SET', KEYS[1], '1', 'PX', ARGV[1])
end
return 1
)lua");
  return script;
}

// KEYS: lease, alive. ARGV: me, ms. 1 when the caller holds the lease.
const vel::RedisScript& LeaseScript() {
  static const vel::RedisScript script("backlog lease", R"lua(
if redis.call('EXISTS', KEYS[2]) == 1 then return 0 end
local holder = redis.call('GET', KEYS[1])
if holder == ARGV[1] then
  redis.call('PEXPIRE', KEYS[1], ARGV[2])
  return 1
end
if holder then return 0 end
redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
return 1
)lua");
  return script;
}

// KEYS: list. ARGV: count.
const vel::RedisScript& ReadScript() {
  static const vel::RedisScript script("backlog read", R"lua(
return redis.call('LRANGE', KEYS[1], 0, tonumber(ARGV[1]) - 1)
)lua");
  return script;
}

// KEYS: origins, list. ARGV: origin, count, first, last. Removes the first
// `count` entries only while they are still the ones the caller read (two
// servers may replay one list in a lease's hand-over); -1 otherwise, else
// the entries left.
const vel::RedisScript& TrimScript() {
  static const vel::RedisScript script("backlog trim", R"lua(
local n = tonumber(ARGV[2])
if redis.call('LINDEX', KEYS[2], 0) ~= ARGV[3] or
   redis.call('LINDEX', KEYS[2], n - 1) ~= ARGV[4] then
  return -1
end
redis.call('LTRIM', KEYS[2], n, -1)
local left = redis.call('LLEN', KEYS[2])
if left == 0 then redis.call('SREM', KEYS[1], ARGV[1]) end
return left
)lua");
  return script;
}

// Entries per push: bounds one script's arguments.
constexpr std::size_t kPushChunk = 500;
// After Redis failed a push, further ones fail at once for this long.
constexpr std::int64_t kPushPauseAfterFailureMs = 1000;
// Rows per replayed statement.
constexpr std::size_t kRowsPerStatement = 500;

std::mutex the_process_mutex;
std::shared_ptr<DbWriteBacklog> the_process;  // GUARDED_BY(the_process_mutex)

bool Unreachable(const Mariadb::Error& error) {
  return Mariadb::IsUnreachableError(error) ||
         error.code == Mariadb::kClientNotRunningError;
}

// The hand-over time of an encoded entry without decoding all of it.
bool HandedOverAt(const std::string& text, std::int64_t* ms) {
  BacklogEntry entry;
  std::string why;
  if (!BacklogEntry::Decode(text, &entry, &why)) return false;
  *ms = entry.handed_over_ms;
  return true;
}

}  // namespace

DbWriteBacklog::DbWriteBacklog(Options options,
                               std::shared_ptr<vel::Mariadb> replay_client)
    : options_(std::move(options)),
      replay_client_(std::move(replay_client)),
      target_(std::make_shared<HandoverTarget>()) {
  target_->backlog = this;
}

DbWriteBacklog::~DbWriteBacklog() {
  {
    // Waits for the handovers under way.
    std::unique_lock<std::shared_mutex> lock(target_->mutex);
    target_->backlog = nullptr;
  }
  Stop();
}

std::string DbWriteBacklog::MakeOrigin(const std::string& server_name) {
  boost::uuids::random_generator generate;
  const std::string random = boost::uuids::to_string(generate());
  return server_name + "/" + std::to_string(::getpid()) + "/" +
         random.substr(0, 8);
}

std::shared_ptr<DbWriteBacklog> DbWriteBacklog::Process() {
  std::lock_guard<std::mutex> lock(the_process_mutex);
  return the_process;
}

void DbWriteBacklog::SetProcess(std::shared_ptr<DbWriteBacklog> backlog) {
  std::lock_guard<std::mutex> lock(the_process_mutex);
  the_process = std::move(backlog);
}

vel::Mariadb::WriteHandover DbWriteBacklog::MakeHandover(
    const std::string& client_name,
    std::function<std::uint64_t()> oldest_pending) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    oldest_pending_[client_name] = std::move(oldest_pending);
  }
  const std::shared_ptr<HandoverTarget> target = target_;
  return [target,
          client_name](const std::vector<Mariadb::HandedOverWrite>& writes) {
    std::shared_lock<std::shared_mutex> lock(target->mutex);
    return target->backlog != nullptr &&
           target->backlog->HandOver(client_name, writes);
  };
}

bool DbWriteBacklog::HandOver(
    const std::string& client_name,
    const std::vector<Mariadb::HandedOverWrite>& writes) {
  const std::int64_t now = vel::WallClock::GetTimestampInMsec();
  // The client gives them oldest first: the list keeps the order of each
  // player's writes.
  std::vector<std::string> entries;
  entries.reserve(writes.size());
  for (const auto& write : writes) {
    entries.push_back(BacklogEntry::Wrap(options_.origin, client_name,
                                         write.sequence, now, write.payload));
  }
  return Push(entries);
}

bool DbWriteBacklog::HandOverDirect(const std::string& payload) {
  // No client order to wait for: "direct" entries replay at once.
  return Push(
      {BacklogEntry::Wrap(options_.origin, "direct", 0,
                          vel::WallClock::GetTimestampInMsec(), payload)});
}

bool DbWriteBacklog::Push(const std::vector<std::string>& entries) {
  // Redis just failed to take a handover: each try would wait its timeout
  // again (a shutdown with Redis away would take that long per write).
  const std::int64_t now_us = vel::MonotonicClock::Now();
  if (now_us < refuse_pushes_until_us_.load()) {
    handover_failed_ += entries.size();
    LOG_EVERY_N(ERROR, 1000)
        << "Database write backlog: Redis failed a moment ago; "
        << entries.size()
        << " database writes not handed over and LOST to the database";
    return false;
  }
  std::size_t stored = 0;
  for (std::size_t at = 0; at < entries.size(); at += kPushChunk) {
    const std::size_t end = std::min(entries.size(), at + kPushChunk);
    std::vector<std::string> args{
        options_.origin,
        std::to_string(released_.load() ? 0 : options_.alive_ms)};
    args.insert(args.end(), entries.begin() + at, entries.begin() + end);
    RedisValue out;
    const Redis::Result result = PushScript().Run(
        {OriginsKey(), ListKey(options_.origin), AliveKey(options_.origin)},
        args, &out);
    if (result != Redis::kSuccess) {
      refuse_pushes_until_us_ =
          vel::MonotonicClock::Now() + kPushPauseAfterFailureMs * 1000;
      const std::size_t lost = entries.size() - stored;
      handover_failed_ += lost;
      LOG(ERROR) << "Database write backlog: Redis did not take " << lost
                 << " database writes (" << Redis::ResultName(result)
                 << (out.type == RedisValue::kError ? ": " + out.text : "")
                 << "); they are LOST to the database (they are in the "
                    "rankings): origin="
                 << options_.origin;
      return false;
    }
    stored = end;
  }
  handed_over_ += stored;
  return true;
}

void DbWriteBacklog::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable() || stopping_) return;
  thread_ = std::thread([this] { Run(); });
}

void DbWriteBacklog::Stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (!thread.joinable()) return;
  // A replayed statement may wait for a hung database.
  if (replay_client_) replay_client_->Interrupt();
  thread.join();
}

void DbWriteBacklog::Release() {
  released_ = true;
  if (Redis::Del(AliveKey(options_.origin)) != Redis::kSuccess) {
    LOG(WARNING) << "Database write backlog: could not delete the alive key; "
                    "other servers replay this server's writes once it "
                    "expires: origin="
                 << options_.origin;
  }
}

void DbWriteBacklog::Run() {
  pthread_setname_np(pthread_self(), "DbBacklog");
  for (;;) {
    const std::size_t done = ReplayRound(2000);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return;
    if (done == 0) {
      wake_.wait_for(lock, std::chrono::milliseconds(options_.idle_ms),
                     [this] { return stopping_; });
      if (stopping_) return;
    }
  }
}

std::size_t DbWriteBacklog::ReplayRound(std::int64_t budget_ms) {
  const std::int64_t deadline_us =
      vel::MonotonicClock::Now() + budget_ms * 1000;
  RedisValue out;
  HeartbeatScript().Run({AliveKey(options_.origin), ListKey(options_.origin)},
                        {std::to_string(options_.alive_ms)}, &out);
  if (StatsScript().Run({OriginsKey()}, {options_.key_prefix}, &out) !=
          Redis::kSuccess ||
      !out.is_array() || out.elements.size() % 4 != 0) {
    return 0;  // Redis away: the next round tries again.
  }
  struct List {
    std::string origin;
    bool alive = false;
  };
  std::vector<List> lists;
  std::uint64_t entries = 0;
  std::int64_t oldest_ms = 0;
  const std::int64_t now = vel::WallClock::GetTimestampInMsec();
  for (std::size_t i = 0; i < out.elements.size(); i += 4) {
    const std::int64_t length = out.elements[i + 1].integer;
    if (length <= 0) continue;
    entries += static_cast<std::uint64_t>(length);
    std::int64_t at = 0;
    if (HandedOverAt(out.elements[i + 2].text, &at) &&
        (oldest_ms == 0 || at < oldest_ms)) {
      oldest_ms = at;
    }
    lists.push_back({out.elements[i].text, out.elements[i + 3].integer == 1});
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.entries = entries;
    stats_.oldest_age_ms =
        oldest_ms == 0 ? 0 : std::max<std::int64_t>(now - oldest_ms, 0);
  }
  std::size_t done = 0;
  for (const List& list : lists) {
    const bool own = list.origin == options_.origin;
    if (!own) {
      if (list.alive) continue;
      RedisValue lease;
      if (LeaseScript().Run(
              {LeaseKey(list.origin), AliveKey(list.origin)},
              {options_.origin, std::to_string(options_.lease_ms)},
              &lease) != Redis::kSuccess ||
          lease.integer != 1) {
        continue;
      }
      LOG_EVERY_N(INFO, 100) << "Database write backlog: replaying the "
                                "writes of a server that stopped: origin="
                             << list.origin;
    }
    bool more = true;
    while (more && vel::MonotonicClock::Now() < deadline_us) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return done;
      }
      done += ReplayBatch(list.origin, own, &more);
    }
  }
  return done;
}

bool DbWriteBacklog::Replayable(const BacklogEntry& entry) const {
  std::function<std::uint64_t()> oldest;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = oldest_pending_.find(entry.client);
    if (it == oldest_pending_.end()) return true;
    oldest = it->second;
  }
  return entry.sequence < oldest();
}

std::size_t DbWriteBacklog::ReplayBatch(const std::string& origin, bool own,
                                        bool* more) {
  *more = false;
  RedisValue read;
  if (ReadScript().Run({ListKey(origin)},
                       {std::to_string(options_.batch_entries)},
                       &read) != Redis::kSuccess ||
      !read.is_array() || read.elements.empty()) {
    return 0;
  }
  std::vector<BacklogEntry> decoded;
  std::size_t count = 0;
  std::size_t malformed = 0;
  for (const RedisValue& element : read.elements) {
    BacklogEntry entry;
    std::string why;
    if (!BacklogEntry::Decode(element.text, &entry, &why)) {
      ++malformed;
      LOG_EVERY_N(ERROR, 1000)
          << "Database write backlog: skipping an entry that does not "
             "parse ("
          << why << "): origin=" << origin << ", " << google::COUNTER
          << " so far";
      ++count;
      continue;
    }
    // An own write waits for the older writes this process still holds.
    if (own && !Replayable(entry)) break;
    decoded.push_back(std::move(entry));
    ++count;
  }
  if (count == 0) return 0;
  std::size_t rows = 0;
  std::size_t skipped = 0;
  if (!Apply(decoded, &rows, &skipped)) return 0;
  RedisValue trimmed;
  if (TrimScript().Run(
          {OriginsKey(), ListKey(origin)},
          {origin, std::to_string(count), read.elements.front().text,
           read.elements[count - 1].text},
          &trimmed) != Redis::kSuccess ||
      trimmed.integer < 0) {
    // Another server replayed them meanwhile (or Redis went away): the
    // replay was harmless, and the entries are read again if still there.
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.replayed_rows += rows;
    stats_.replayed_entries += decoded.size() - skipped;
    stats_.skipped += skipped + malformed;
  }
  *more = count == read.elements.size() && trimmed.integer > 0;
  return count;
}

bool DbWriteBacklog::Apply(const std::vector<BacklogEntry>& entries,
                           std::size_t* rows, std::size_t* skipped) {
  // Rows of one table in entry order; tables are independent of each other.
  struct Table {
    std::string leaderboard_id;
    std::vector<BulkScoreRow> rows;
    std::size_t entries = 0;
  };
  std::map<std::string, Table> tables;
  std::vector<const BacklogEntry*> profiles;
  for (const BacklogEntry& entry : entries) {
    if (entry.kind == BacklogEntry::Kind::kProfile) {
      profiles.push_back(&entry);
      continue;
    }
    Table& table = tables[entry.table];
    table.leaderboard_id = entry.leaderboard_id;
    table.rows.insert(table.rows.end(), entry.rows.begin(), entry.rows.end());
    ++table.entries;
  }
  for (const auto& [name, table] : tables) {
    bool created = false;
    for (std::size_t at = 0; at < table.rows.size();) {
      const std::size_t end =
          std::min(table.rows.size(), at + kRowsPerStatement);
      const std::vector<BulkScoreRow> chunk(table.rows.begin() + at,
                                            table.rows.begin() + end);
      const Mariadb::Error error =
          replay_client_->ExecuteQuerySync(MakeScoreReplayQuery(name, chunk));
      if (Unreachable(error)) return false;
      if (error.code == ER_NO_SUCH_TABLE && !created &&
          FLAGS_leaderboard_use_db_stored_procedure) {
        // A leaderboard created at run time whose tables were never made
        // (its creation was handed over too): make them, then go on.
        created = true;
        std::string creation;
        for (const std::string& statement :
             MakeLeaderboardTableQueries(table.leaderboard_id, nullptr)) {
          creation += statement + "\n";
        }
        const Mariadb::Error made = replay_client_->ExecuteQuerySync(creation);
        if (Unreachable(made)) return false;
        if (!made) continue;  // the same chunk again
      }
      if (error) {
        LOG(ERROR) << "Database write backlog: skipping " << chunk.size()
                   << " rows the database refused: " << error
                   << ", table: " << name;
        *skipped += table.entries;
        break;
      }
      *rows += chunk.size();
      at = end;
    }
  }
  for (const BacklogEntry* profile : profiles) {
    const Mariadb::Error error =
        replay_client_->ExecuteQuerySync(MakePlayerProfileWriteQuery(
            profile->leaderboard_id,
            vel::PlayerAccount(profile->service_provider,
                               profile->local_account),
            profile->display_name, profile->metadata));
    if (Unreachable(error)) return false;
    if (error) {
      LOG(ERROR) << "Database write backlog: skipping a profile write the "
                    "database refused: "
                 << error << ", leaderboard id: " << profile->leaderboard_id;
      ++*skipped;
    } else {
      ++*rows;
    }
  }
  return true;
}

DbWriteBacklog::Stats DbWriteBacklog::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Stats stats = stats_;
  stats.handed_over = handed_over_.load();
  stats.handover_failed = handover_failed_.load();
  return stats;
}

}  // namespace plemox

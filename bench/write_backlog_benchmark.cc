// The write backlog at size: --writes score writes (distinct players, one
// table) handed over to Redis as a stopped server would have, then replayed
// into MariaDB by another DbWriteBacklog. Prints the hand-over and replay
// rates, Redis bytes per entry and the process's peak memory before and
// after the replay (the replay holds one batch, whatever the backlog's
// size). Not a test; needs the Redis and MariaDB of scripts/services.sh:
//   eval "$(scripts/services.sh env)"; scripts/services.sh start
//   build/release/bin/write_backlog_benchmark --writes=1000000
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/store/backlog_entry.h"
#include "database/store/db_write_backlog.h"
#include "database/store/mysql_schema.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/redis/redis.h"
#include "vel/redis/redis_script.h"

DEFINE_uint64(writes, 1000000, "writes handed over and replayed");

namespace {

using Clock = std::chrono::steady_clock;

std::string Env(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

double Seconds(Clock::duration elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Redis's used_memory in bytes.
long long RedisUsedMemory() {
  static const vel::RedisScript script("used memory",
                                       "return redis.call('INFO', 'memory')");
  vel::RedisValue out;
  if (script.Run({"x"}, {}, &out) != vel::Redis::kSuccess) return -1;
  const auto at = out.text.find("used_memory:");
  return at == std::string::npos ? -1 : std::atoll(out.text.c_str() + at + 12);
}

std::shared_ptr<vel::Mariadb> Client() {
  auto client =
      vel::Mariadb::Create(Env("PLEMOX_MYSQL_HOST", "127.0.0.1") + ":" +
                               Env("PLEMOX_MYSQL_PORT", "13306"),
                           Env("PLEMOX_MYSQL_USER", "leaderboard"),
                           Env("PLEMOX_MYSQL_PASSWORD", "leaderboard"),
                           Env("PLEMOX_MYSQL_DB", "leaderboard"), 1, "utf8mb4",
                           true, vel::Mariadb::kDefaultClientFlags, 0,
                           vel::Mariadb::kDefaultConnectionFailureHandler);
  if (!client->Initialize()) std::exit(1);
  return client;
}

}  // namespace

int main(int argc, char** argv) {
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  google::InitGoogleLogging(argv[0]);
  FLAGS_redis_host = "127.0.0.1";
  FLAGS_redis_port = std::atoi(Env("PLEMOX_REDIS_PORT", "16379").c_str());
  FLAGS_redis_async_threads_size = 1;
  FLAGS_leaderboard_use_db_stored_procedure = false;
  if (!vel::Redis::Initialize()) return 1;
  const std::string id = "benchbacklog_" + std::to_string(getpid());
  auto admin = Client();
  for (const std::string& statement :
       plemox::MakeLeaderboardTableQueries(id, nullptr)) {
    if (admin->ExecuteQuerySync(statement)) return 1;
  }
  plemox::DbWriteBacklog::Options options;
  options.key_prefix = "benchbacklog:" + id + ":{db_backlog}:";
  options.origin = "stopped";
  plemox::DbWriteBacklog stopped(options, Client());
  options.origin = "replaying";
  plemox::DbWriteBacklog replaying(options, Client());

  const long long memory_before = RedisUsedMemory();
  const auto handover = stopped.MakeHandover("single", [] { return 0; });
  const auto start = Clock::now();
  constexpr std::size_t kChunk = 5000;
  std::vector<vel::Mariadb::HandedOverWrite> writes;
  for (std::uint64_t i = 0; i < FLAGS_writes; ++i) {
    writes.push_back(
        {0, i,
         plemox::BacklogEntry::EncodeScorePayload(
             id, id + "_daily",
             {plemox::BulkScoreRow{"guest", "p" + std::to_string(i),
                                   -static_cast<double>(i), -1796832902}})});
    if (writes.size() == kChunk || i + 1 == FLAGS_writes) {
      if (!handover(writes)) return 1;
      writes.clear();
    }
  }
  stopped.Release();
  const double handover_seconds = Seconds(Clock::now() - start);
  const long long memory_after = RedisUsedMemory();
  const long rss_before = PeakRssKb();

  const auto replay_start = Clock::now();
  while (replaying.ReplayRound(60000) > 0) {
  }
  const double replay_seconds = Seconds(Clock::now() - replay_start);
  const auto stats = replaying.stats();
  std::printf(
      "handed over %llu writes in %.1f s (%.0f/s), Redis %.0f bytes "
      "per entry\n",
      static_cast<unsigned long long>(FLAGS_writes), handover_seconds,
      FLAGS_writes / handover_seconds,
      static_cast<double>(memory_after - memory_before) /
          static_cast<double>(FLAGS_writes));
  std::printf(
      "replayed %llu rows in %.1f s (%.0f rows/s), %llu skipped, %llu "
      "left; peak RSS %ld kB before the replay, %ld kB after\n",
      static_cast<unsigned long long>(stats.replayed_rows), replay_seconds,
      stats.replayed_rows / replay_seconds,
      static_cast<unsigned long long>(stats.skipped),
      static_cast<unsigned long long>(stats.entries), rss_before, PeakRssKb());
  std::string drop = "DROP TABLE IF EXISTS " + id + "_alltime";
  for (const char* suffix : {"_daily", "_yesterday", "_weekly", "_lastweek",
                             "_monthly", "_lastmonth"}) {
    drop += std::string(", ") + id + suffix;
  }
  admin->ExecuteQuerySync(drop);
  vel::Redis::Finalize();
  vel::IoService::StopAll();
  return stats.replayed_rows == FLAGS_writes ? 0 : 1;
}

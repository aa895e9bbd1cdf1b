// Score writes per second into the real MariaDB of scripts/services.sh, one
// statement per write (DbConnection::SubmitScore) and through the bulk
// insert queue (32 rows per statement). Every write is of a distinct player,
// so none is superseded in the queue; the time runs from the first write to
// the last completion. Not a test; run by hand from the source root (or
// give --res_root), where sql/ holds the stored procedures:
//   eval "$(scripts/services.sh env)"; scripts/services.sh start
//   build/release/bin/score_write_benchmark --writes=100000
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/leaderboard_flags.h"
#include "database/store/bulk_insert_queue.h"
#include "database/store/db_connection.h"
#include "database/store/mysql_schema.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/core/raw_timer.h"

DEFINE_uint64(writes, 100000, "score writes per run");
DEFINE_uint64(connections, 10, "database connections of each client");

namespace {

using Response = Leaderboard::ScoreSubmission::Response;
using Clock = std::chrono::steady_clock;

std::string Env(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

std::string Url() {
  return Env("PLEMOX_MYSQL_HOST", "127.0.0.1") + ":" +
         Env("PLEMOX_MYSQL_PORT", "13306");
}

// Waits until `done` reaches `count` (or 10 minutes pass).
bool WaitForCount(const std::atomic<std::uint64_t>& done, std::uint64_t count) {
  const auto deadline = Clock::now() + std::chrono::minutes(10);
  while (done.load() < count) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void Report(const char* mode, std::uint64_t writes, Clock::duration elapsed,
            std::uint64_t failed) {
  const double seconds =
      std::chrono::duration_cast<std::chrono::duration<double>>(elapsed)
          .count();
  std::printf("%-28s %9llu writes %8.2f s %10.0f writes/s %6llu failed\n", mode,
              static_cast<unsigned long long>(writes), seconds,
              writes / seconds, static_cast<unsigned long long>(failed));
}

// Runs FLAGS_writes writes of distinct players through `submit` (local
// account, completion) and reports their rate once all have completed.
using Completion = std::function<void(const bool&)>;
void TimeWrites(
    const std::string& mode,
    const std::function<void(const std::string&, const Completion&)>& submit) {
  static int run = 0;
  const std::string prefix = "r" + std::to_string(++run) + "_";
  auto done = std::make_shared<std::atomic<std::uint64_t>>(0);
  auto failed = std::make_shared<std::atomic<std::uint64_t>>(0);
  const auto start = Clock::now();
  for (std::uint64_t i = 0; i < FLAGS_writes; ++i) {
    submit(prefix + std::to_string(i),
           [done, failed](const bool& write_failed) {
             if (write_failed) ++*failed;
             ++*done;
           });
  }
  if (!WaitForCount(*done, FLAGS_writes)) {
    std::fprintf(stderr, "%s: writes did not complete\n", mode.c_str());
    std::exit(1);
  }
  Report(mode.c_str(), FLAGS_writes, Clock::now() - start, failed->load());
}

}  // namespace

int main(int argc, char** argv) {
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  google::InitGoogleLogging(argv[0]);
  const std::string user = Env("PLEMOX_MYSQL_USER", "leaderboard");
  const std::string password = Env("PLEMOX_MYSQL_PASSWORD", "leaderboard");
  const std::string database = Env("PLEMOX_MYSQL_DB", "leaderboard");
  if (!vel::RawTimer::Start(1)) return 1;

  const std::string id = "benchwrites_" + std::to_string(getpid());
  std::printf("score writes into %s, %llu connections per client\n",
              Url().c_str(),
              static_cast<unsigned long long>(FLAGS_connections));
  for (const bool stored_procedure : {true, false}) {
    FLAGS_leaderboard_use_db_stored_procedure = stored_procedure;
    auto db = plemox::DbConnection::Create(Url(), user, password, database,
                                           FLAGS_connections, "utf8", 5000);
    if (!db || !db->ExecuteScripts(plemox::MakeSchemaScripts({id}, {}))) {
      std::fprintf(stderr, "cannot prepare the database at %s\n",
                   Url().c_str());
      return 1;
    }
    const std::string form = stored_procedure ? "procedure" : "plain";
    const auto timestamp =
        std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::system_clock::now().time_since_epoch())
            .count();

    // One statement per write.
    TimeWrites("single, " + form, [&](const std::string& local_account,
                                      const Completion& completion) {
      db->SubmitScore(
          id, vel::PlayerAccount("guest", local_account),
          {Response::kNewRecordDaily, 0.0}, timestamp,
          boost::posix_time::ptime(boost::posix_time::not_a_date_time),
          completion);
    });

    // The bulk insert queue with its own client.
    auto client =
        vel::Mariadb::Create(Url(), user, password, database, FLAGS_connections,
                             "utf8", vel::Mariadb::kDefaultAutoRetryOnDeadlock,
                             vel::Mariadb::kDefaultClientFlags, 5000,
                             vel::Mariadb::kDefaultConnectionFailureHandler);
    if (!client->Initialize()) return 1;
    auto queue = std::make_shared<plemox::BulkInsertQueue>(client, 200);
    if (!queue->Start()) return 1;
    TimeWrites("bulk queue, " + form, [&](const std::string& local_account,
                                          const Completion& completion) {
      queue->Enqueue(plemox::DbSubmitScoreRequest::Make(
          id, vel::PlayerAccount("guest", local_account),
          {Response::kNewRecordDaily, 0.0}, timestamp,
          boost::posix_time::ptime(boost::posix_time::not_a_date_time),
          completion));
    });
    queue->Finalize();

    std::string drop = "DROP TABLE IF EXISTS " + id + "_alltime";
    for (const char* suffix : {"_daily", "_yesterday", "_weekly", "_lastweek",
                               "_monthly", "_lastmonth"}) {
      drop += std::string(", ") + id + suffix;
    }
    db->ExecuteScripts({drop});
    db->Finalize();
  }
  vel::RawTimer::Stop();
  vel::IoService::StopAll();
  return 0;
}

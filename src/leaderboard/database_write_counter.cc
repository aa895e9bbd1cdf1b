#include "leaderboard/database_write_counter.h"

#include <memory>

#include "common/leaderboard_flags.h"
#include "database/bulk_insert_queue.h"
#include "database/db_connection_mariadb.h"
#include "leaderboard/leaderboard_service.h"

namespace plemox {
namespace {

vel::Json ToJson(const vel::Mariadb::WriteStats& stats) {
  vel::Json json = vel::Json::MakeObject();
  json.Set("pending", vel::Json(static_cast<std::uint64_t>(stats.pending)));
  json.Set("retained", vel::Json(stats.retained));
  json.Set("dropped", vel::Json(stats.dropped));
  json.Set("abandoned", vel::Json(stats.abandoned));
  return json;
}

}  // namespace

int DatabaseWriteCounter::Report(vel::Json* out) {
  vel::Mariadb::WriteStats single;
  const auto connection = std::dynamic_pointer_cast<DbConnectionMariadb>(
      LeaderboardService::db_connection());
  if (connection) single = connection->write_stats();
  std::size_t queued = 0;
  const vel::Mariadb::WriteStats bulk =
      BulkInsertQueue::ProcessWriteStats(&queued);

  vel::Json report = vel::Json::MakeObject();
  report.Set("pending_write_limit", vel::Json(static_cast<std::uint64_t>(
                                        FLAGS_mysql_db_pending_write_limit)));
  report.Set("single", ToJson(single));
  vel::Json bulk_json = ToJson(bulk);
  bulk_json.Set("queued", vel::Json(static_cast<std::uint64_t>(queued)));
  report.Set("bulk", bulk_json);
  *out = report;
  return 200;
}

}  // namespace plemox

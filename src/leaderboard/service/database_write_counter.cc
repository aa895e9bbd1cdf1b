#include "leaderboard/service/database_write_counter.h"

#include <memory>

#include "common/leaderboard_flags.h"
#include "database/store/bulk_insert_queue.h"
#include "database/store/db_connection_mariadb.h"
#include "leaderboard/service/leaderboard_service.h"

namespace plemox {
namespace {

vel::Json ToJson(const vel::Mariadb::WriteStats& stats) {
  vel::Json json = vel::Json::MakeObject();
  json.Set("pending", vel::Json(static_cast<std::uint64_t>(stats.pending)));
  json.Set("retained", vel::Json(stats.retained));
  json.Set("dropped", vel::Json(stats.dropped));
  json.Set("abandoned", vel::Json(stats.abandoned));
  json.Set("handed_over", vel::Json(stats.handed_over));
  return json;
}

}  // namespace

DatabaseWriteCounter::Snapshot DatabaseWriteCounter::Take() {
  Snapshot snapshot;
  const auto connection = std::dynamic_pointer_cast<DbConnectionMariadb>(
      LeaderboardService::db_connection());
  if (connection) snapshot.single = connection->write_stats();
  snapshot.bulk = BulkInsertQueue::ProcessWriteStats(&snapshot.queued);
  return snapshot;
}

int DatabaseWriteCounter::Report(vel::Json* out) {
  const DatabaseWriteCounter::Snapshot snapshot = DatabaseWriteCounter::Take();
  const vel::Mariadb::WriteStats& single = snapshot.single;
  const vel::Mariadb::WriteStats& bulk = snapshot.bulk;
  const std::size_t queued = snapshot.queued;

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

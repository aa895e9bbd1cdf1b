// DatabaseWriteCounter: the callable counter "leaderboard/database_writes",
// which shows operators what happens to the score writes: how many wait for
// the database, how many were kept through an outage, how many the pending
// write limit dropped and how many were lost at shutdown.
#pragma once

#include "vel/json.h"

namespace plemox {

class DatabaseWriteCounter {
 public:
  DatabaseWriteCounter() = delete;

  // Fills *out with {"pending_write_limit": n, "single": {...}, "bulk":
  // {"queued": n, ...}}, each part holding "pending", "retained", "dropped"
  // and "abandoned" (vel::Mariadb::WriteStats) of the service's database
  // connection and of the bulk insert queue's; returns 200. API threads.
  static int Report(vel::Json* out);
};

}  // namespace plemox

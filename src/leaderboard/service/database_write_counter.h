// DatabaseWriteCounter: the callable counter "leaderboard/database_writes",
// which shows operators what happens to the score writes: how many wait for
// the database, how many were kept through an outage, how many the pending
// write limit dropped and how many were lost at shutdown.
#pragma once

#include <cstddef>

#include "vel/core/json.h"
#include "vel/mariadb/mariadb.h"

namespace plemox {

class DatabaseWriteCounter {
 public:
  DatabaseWriteCounter() = delete;

  // The write counts of the service's connection (`single`) and of the bulk
  // insert queue's (`bulk`, with `queued` writes not yet sent). Any thread.
  struct Snapshot {
    vel::Mariadb::WriteStats single;
    vel::Mariadb::WriteStats bulk;
    std::size_t queued = 0;
  };
  static Snapshot Take();

  // Fills *out with {"pending_write_limit": n, "single": {...}, "bulk":
  // {"queued": n, ...}}, each part holding "pending", "retained", "dropped"
  // and "abandoned" (vel::Mariadb::WriteStats) of the service's database
  // connection and of the bulk insert queue's; returns 200. API threads.
  static int Report(vel::Json* out);
};

}  // namespace plemox

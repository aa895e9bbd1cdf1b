// MariadbProbe: one connection of its own, with short timeouts, that tells
// whether a MariaDB server answers ("SELECT 1"). Used by readiness checks,
// so it never waits behind the statements queued on a client's pool.
// Thread-safe: calls are serialised.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "vel/mariadb/mariadb.h"

namespace vel {

class MariadbProbe {
 public:
  // `server_url` as for Mariadb::Create. Connects on the first Check.
  // Each timeout (connect, read, write) is `timeout_seconds` (at least 1).
  MariadbProbe(const std::string& server_url, const std::string& user_id,
               const std::string& password, const std::string& database,
               unsigned timeout_seconds);
  ~MariadbProbe();
  MariadbProbe(const MariadbProbe&) = delete;
  MariadbProbe& operator=(const MariadbProbe&) = delete;

  // Runs "SELECT 1", connecting first when needed; true when the server
  // answered 1. On false *error says why (and the connection is closed, so
  // the next call connects again). Blocks for at most about three timeouts.
  bool Check(std::string* error);

 private:
  struct Handle;

  bool Connect(std::string* error);  // REQUIRES: mutex_ held

  const std::string server_url_;
  const std::string user_id_;
  const std::string password_;
  const std::string database_;
  const unsigned timeout_seconds_;

  std::mutex mutex_;
  std::unique_ptr<Handle> handle_;  // GUARDED_BY(mutex_); null: not connected
};

}  // namespace vel

// Where and how one Redis connection goes (vel_redis only). A value type;
// any thread.
#pragma once

#include <memory>
#include <string>

#include "vel/redis/internal/redis_tls.h"

namespace vel {
namespace redis_internal {

struct RedisEndpoint {
  // A host that starts with '/' is a Unix socket path (port unused).
  std::string host;
  int port = 0;
  std::string user;      // ACL user; empty: AUTH with the password alone
  std::string password;  // empty with an empty user: no AUTH
  int timeout_ms = 0;    // connect and per-command timeout, > 0
  // TLS settings shared by every connection; null: plain TCP.
  std::shared_ptr<const RedisTls> tls;
};

}  // namespace redis_internal
}  // namespace vel

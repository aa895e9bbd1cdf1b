// A redis-sentinel of a test's own on a free port, watching one master with
// short timings (down after 1 s), so that a failover takes a few seconds.
// Its config file (which Sentinel rewrites) lives in a temporary directory.
// Started by the constructor (the test fails when it does not come up),
// killed by the destructor. Test thread only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace plemox_test {

class PrivateSentinel {
 public:
  // Watches `master_name` at 127.0.0.1:`master_port`; `quorum` Sentinels
  // must agree that it is down. With `tls_config` (config lines:
  // "tls-cert-file ...", "tls-replication yes", ...) its port speaks TLS
  // only.
  PrivateSentinel(const std::string& master_name, int master_port, int quorum,
                  const std::vector<std::string>& tls_config = {});
  ~PrivateSentinel();
  PrivateSentinel(const PrivateSentinel&) = delete;
  PrivateSentinel& operator=(const PrivateSentinel&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:<port>".
  std::string Address() const;

 private:
  int port_ = 0;
  pid_t pid_ = -1;
  std::string dir_;
};

// One command to the Redis or Sentinel on 127.0.0.1:`port` over a fresh
// connection (1 s timeout). The reply flattened to texts (integers as
// decimal, nested arrays one level deep, an error reply as its text). On a
// connection failure returns an empty list and sets *error when given; never
// fails the test by itself (servers are killed on purpose).
std::vector<std::string> RedisAt(int port, const std::vector<std::string>& args,
                                 std::string* error = nullptr);

// The value of `field` in the INFO text of the server on `port` (section
// `section`), or "" when absent or unreachable.
std::string InfoField(int port, const std::string& section,
                      const std::string& field);

}  // namespace plemox_test

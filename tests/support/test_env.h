// Where the test servers are, and waiting with deadlines. Test-only helpers;
// callable from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace plemox_test {

// Settings of the private servers that scripts/services.sh starts, read from
// the environment (scripts/services.sh env). Each aborts the test with a
// clear message when its variable is missing: a test that needs a server
// must not pass without one.
std::string RedisHost();
int RedisPort();
// The Redis Cluster of `scripts/services.sh start-cluster`: its six nodes
// as "host:port,..." (the seeds for --redis_cluster_nodes) and the first
// node's port (the others follow it).
std::string RedisClusterNodes();
int RedisClusterPort();
std::string MysqlHost();
int MysqlPort();
std::string MysqlSocket();
std::string MysqlDatabase();
std::string MysqlUser();
std::string MysqlPassword();
// "host:port" as the host's Mariadb client takes it.
std::string MysqlUrl();

// The directory of the build's executables and libraries.
std::string BinaryDir();
std::string LibraryDir();
// The source tree's root.
std::string SourceDir();

// Polls `condition` every few milliseconds until it holds or `timeout`
// passes; returns whether it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Waits until the wall clock's millisecond has moved on, so that each
// submission after it gets a ranking time of its own (equal scores then rank
// in the order they were sent). Fails the test when the clock stands still.
void NextMillisecond();

// A free TCP port on 127.0.0.1 (bound and released; good enough for tests).
int FreePort();

// Whether something accepts TCP connections on 127.0.0.1:`port` now.
bool AcceptsConnections(int port);

}  // namespace plemox_test

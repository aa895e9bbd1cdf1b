// Text helpers of the Redis client (vel_redis only): log forms of keys,
// values and commands, the text form of scores, and server addresses. Pure;
// any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "vel/redis/internal/redis_endpoint.h"
#include "vel/redis/redis_value.h"

namespace vel {
namespace redis_internal {

// `bytes` for a log line: non-printable bytes as \xNN, cut after 200 bytes.
std::string Printable(const std::string& bytes);

// "ZADD key=..." for log lines.
std::string Describe(const std::vector<std::string>& args);

// A score as Redis reads it back exactly: "%.17g".
std::string FormatScore(double score);

// Parses a Redis score ("1.5", "inf", "-inf"); false unless the whole text
// is a number.
bool ParseScore(const char* data, std::size_t length, double* out);

// The name of the type of a RedisValue ("string", "integer", ...) for log
// lines.
const char* ValueTypeName(RedisValue::Type type);

// Parses "host:port", "[v6 address]:port" or a Unix socket path ("/...")
// into the host and port of `out`; false when malformed.
bool ParseEndpoint(const std::string& address, RedisEndpoint* out);

// Parses a list "host:port,host:port,..." (blanks around entries ignored,
// no Unix sockets) into `out`, each entry taking `defaults` for everything
// but host and port; false with the reason in *error when an entry is
// malformed or the list is empty. `what` names an entry in that reason
// ("Sentinel", "cluster node").
bool ParseEndpointList(const std::string& list, const RedisEndpoint& defaults,
                       const std::string& what, std::vector<RedisEndpoint>* out,
                       std::string* error);

// `text` without leading and trailing blanks and tabs.
std::string Trim(const std::string& text);

// The entries of a comma-separated list, each trimmed, empty ones left out
// ("a, ,b," gives "a", "b").
std::vector<std::string> SplitList(const std::string& list);

}  // namespace redis_internal
}  // namespace vel

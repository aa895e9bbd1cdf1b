// Where a command goes in a Redis Cluster: the hash slot of a key and the
// keys of the commands the server sends. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

// Slots of a Redis Cluster: every key belongs to one of them.
constexpr int kRedisClusterSlots = 16384;

// CRC16/XMODEM (polynomial 0x1021, initial value 0) of `data`, the checksum
// a cluster hashes keys with.
std::uint16_t RedisCrc16(std::string_view data);

// The slot of `key`: CRC16 modulo 16384 of the key, or of the text between
// the first '{' and the first '}' after it when that text is not empty (a
// hash tag: keys that share one are stored on the same node).
int RedisClusterSlot(std::string_view key);

// Where a command has to be sent in a cluster.
struct RedisClusterRoute {
  enum Kind {
    kSlot,          // to the node of `slot`, the slot of all its keys
    kAnyNode,       // no key: any node answers it (PING, ROLE, ...)
    kEveryPrimary,  // the scripts cache of every primary (SCRIPT ...)
    kRefused,       // never sent; `error` says why
  };
  Kind kind = kRefused;
  int slot = -1;
  std::string error;
};

// The route of `args` (args[0] the command name, any case). Refused: an
// empty command, a command whose key position this client does not know,
// a malformed key count, and keys in more than one slot (one command runs
// on one node, so they could never be served together).
RedisClusterRoute RouteRedisCommand(const std::vector<std::string>& args);

}  // namespace vel

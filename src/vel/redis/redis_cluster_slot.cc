#include "vel/redis/redis_cluster_slot.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

namespace vel {
namespace {

constexpr std::array<std::uint16_t, 256> MakeCrc16Table() {
  std::array<std::uint16_t, 256> table{};
  for (int byte = 0; byte < 256; ++byte) {
    std::uint16_t crc = static_cast<std::uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0
                ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                : static_cast<std::uint16_t>(crc << 1);
    }
    table[static_cast<std::size_t>(byte)] = crc;
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kCrc16Table = MakeCrc16Table();

// Where a command keeps its keys.
enum class Keys {
  kFirst,        // args[1]
  kFirstTwo,     // args[1] and args[2] (RENAME)
  kAll,          // args[1..] (DEL k1 k2 ...)
  kCounted,      // args[2] is the key count, the keys follow (EVALSHA)
  kDestCounted,  // args[1] a key, args[2] the count of the keys after it
  kNone,         // no key
  kScripts,      // the scripts cache of every primary
};

struct KnownCommand {
  const char* name;
  Keys keys;
};

// Every command the server sends, and their close relatives.
constexpr KnownCommand kCommands[] = {
    {"APPEND", Keys::kFirst},
    {"CLUSTER", Keys::kNone},
    {"CONFIG", Keys::kNone},
    {"DECR", Keys::kFirst},
    {"DECRBY", Keys::kFirst},
    {"DEL", Keys::kAll},
    {"ECHO", Keys::kNone},
    {"EVAL", Keys::kCounted},
    {"EVALSHA", Keys::kCounted},
    {"EVALSHA_RO", Keys::kCounted},
    {"EVAL_RO", Keys::kCounted},
    {"EXISTS", Keys::kAll},
    {"EXPIRE", Keys::kFirst},
    {"EXPIREAT", Keys::kFirst},
    {"GET", Keys::kFirst},
    {"GETDEL", Keys::kFirst},
    {"HDEL", Keys::kFirst},
    {"HEXISTS", Keys::kFirst},
    {"HGET", Keys::kFirst},
    {"HGETALL", Keys::kFirst},
    {"HINCRBY", Keys::kFirst},
    {"HKEYS", Keys::kFirst},
    {"HLEN", Keys::kFirst},
    {"HMGET", Keys::kFirst},
    {"HSCAN", Keys::kFirst},
    {"HSET", Keys::kFirst},
    {"HSETNX", Keys::kFirst},
    {"HVALS", Keys::kFirst},
    {"INCR", Keys::kFirst},
    {"INCRBY", Keys::kFirst},
    {"INFO", Keys::kNone},
    {"MGET", Keys::kAll},
    {"PERSIST", Keys::kFirst},
    {"PEXPIRE", Keys::kFirst},
    {"PEXPIREAT", Keys::kFirst},
    {"PING", Keys::kNone},
    {"PTTL", Keys::kFirst},
    {"RENAME", Keys::kFirstTwo},
    {"RENAMENX", Keys::kFirstTwo},
    {"ROLE", Keys::kNone},
    {"SCRIPT", Keys::kScripts},
    {"SET", Keys::kFirst},
    {"TIME", Keys::kNone},
    {"TTL", Keys::kFirst},
    {"TYPE", Keys::kFirst},
    {"UNLINK", Keys::kAll},
    {"ZADD", Keys::kFirst},
    {"ZCARD", Keys::kFirst},
    {"ZCOUNT", Keys::kFirst},
    {"ZINCRBY", Keys::kFirst},
    {"ZINTERSTORE", Keys::kDestCounted},
    {"ZMSCORE", Keys::kFirst},
    {"ZPOPMAX", Keys::kFirst},
    {"ZPOPMIN", Keys::kFirst},
    {"ZRANGE", Keys::kFirst},
    {"ZRANGEBYSCORE", Keys::kFirst},
    {"ZRANK", Keys::kFirst},
    {"ZREM", Keys::kFirst},
    {"ZREMRANGEBYRANK", Keys::kFirst},
    {"ZREMRANGEBYSCORE", Keys::kFirst},
    {"ZREVRANGE", Keys::kFirst},
    {"ZREVRANGEBYSCORE", Keys::kFirst},
    {"ZREVRANK", Keys::kFirst},
    {"ZSCAN", Keys::kFirst},
    {"ZSCORE", Keys::kFirst},
    {"ZUNIONSTORE", Keys::kDestCounted},
};

const KnownCommand* Find(const std::string& name) {
  std::string upper(name);
  for (char& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const auto* end = std::end(kCommands);
  const auto* it = std::lower_bound(
      std::begin(kCommands), end, upper,
      [](const KnownCommand& known, const std::string& wanted) {
        return wanted.compare(known.name) > 0;
      });
  return it != end && upper == it->name ? it : nullptr;
}

// The key count at args[index] with its keys after it; false when it is not
// a count or there are fewer arguments.
bool CountedKeys(const std::vector<std::string>& args, std::size_t index,
                 std::size_t* first, std::size_t* count) {
  if (args.size() <= index || args[index].empty() || args[index].size() > 9 ||
      !std::all_of(args[index].begin(), args[index].end(),
                   [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  *count =
      static_cast<std::size_t>(std::strtoul(args[index].c_str(), nullptr, 10));
  *first = index + 1;
  return *count <= args.size() - *first;
}

}  // namespace

std::uint16_t RedisCrc16(std::string_view data) {
  std::uint16_t crc = 0;
  for (const char c : data) {
    const auto byte = static_cast<unsigned char>(c);
    crc = static_cast<std::uint16_t>((crc << 8) ^
                                     kCrc16Table[((crc >> 8) ^ byte) & 0xff]);
  }
  return crc;
}

int RedisClusterSlot(std::string_view key) {
  const std::size_t open = key.find('{');
  if (open != std::string_view::npos) {
    const std::size_t close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1) {
      key = key.substr(open + 1, close - open - 1);
    }
  }
  return RedisCrc16(key) % kRedisClusterSlots;
}

RedisClusterRoute RouteRedisCommand(const std::vector<std::string>& args) {
  RedisClusterRoute route;
  if (args.empty()) {
    route.error = "an empty command";
    return route;
  }
  const KnownCommand* known = Find(args[0]);
  if (known == nullptr) {
    route.error = "a command whose keys the cluster client does not know";
    return route;
  }
  std::size_t first = 1;
  std::size_t count = 0;
  switch (known->keys) {
    case Keys::kNone:
      route.kind = RedisClusterRoute::kAnyNode;
      return route;
    case Keys::kScripts:
      route.kind = RedisClusterRoute::kEveryPrimary;
      return route;
    case Keys::kFirst:
      count = args.size() > 1 ? 1 : 0;
      break;
    case Keys::kFirstTwo:
      count = std::min<std::size_t>(2, args.size() - 1);
      break;
    case Keys::kAll:
      count = args.size() - 1;
      break;
    case Keys::kCounted:
      if (!CountedKeys(args, 2, &first, &count)) {
        route.error = "a malformed key count";
        return route;
      }
      if (count == 0) {
        route.kind = RedisClusterRoute::kAnyNode;
        return route;
      }
      break;
    case Keys::kDestCounted: {
      std::size_t rest = 0;
      if (!CountedKeys(args, 2, &first, &rest)) {
        route.error = "a malformed key count";
        return route;
      }
      route.slot = RedisClusterSlot(args[1]);
      count = rest;
      break;
    }
  }
  if (count == 0 && route.slot < 0) {
    route.error = "a command without its key";
    return route;
  }
  for (std::size_t i = first; i < first + count; ++i) {
    const int slot = RedisClusterSlot(args[i]);
    if (route.slot >= 0 && slot != route.slot) {
      route.error = "keys in different slots (give them one hash tag)";
      route.slot = -1;
      return route;
    }
    route.slot = slot;
  }
  route.kind = RedisClusterRoute::kSlot;
  return route;
}

}  // namespace vel

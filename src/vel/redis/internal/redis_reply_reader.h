// Redis's wire protocol for the client's connections (vel_redis only):
// RedisReplyReader parses replies into RedisValue trees; FormatCommand
// writes a command. One reader per connection, used by one thread at a time.
#pragma once

#include <hiredis/read.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "vel/redis/redis_value.h"

namespace vel {
namespace redis_internal {

class RedisReplyReader {
 public:
  RedisReplyReader();
  RedisReplyReader(const RedisReplyReader&) = delete;
  RedisReplyReader& operator=(const RedisReplyReader&) = delete;

  // Adds bytes read from the connection.
  void Feed(const char* data, std::size_t length);

  // The next complete reply: true with *reply set, true with *reply null
  // when none is complete yet, false with the reason in *error on a
  // protocol error (the connection is then unusable).
  bool Next(std::unique_ptr<RedisValue>* reply, std::string* error);

 private:
  struct Deleter {
    void operator()(redisReader* reader) const;
  };
  std::unique_ptr<redisReader, Deleter> reader_;
};

// The command in Redis's wire form (args binary-safe, args[0] the name);
// empty when it cannot be formatted.
std::string FormatCommand(const std::vector<std::string>& args);

}  // namespace redis_internal
}  // namespace vel

// One Redis reply as a small tree of values: what a server-side script
// answers (numbers, strings, nil, nested arrays). A value type; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel {

struct RedisValue {
  enum Type {
    kNil = 0,      // a nil bulk string or array (a Lua false)
    kInteger = 1,  // a Lua number (truncated to an integer by Redis)
    kString = 2,   // a bulk string
    kStatus = 3,   // a status reply ("OK", a Lua {ok = ...})
    kError = 4,    // an error reply; `text` holds the message
    kArray = 5,    // `elements` in order (a Lua table)
  };

  Type type = kNil;
  std::int64_t integer = 0;
  std::string text;
  std::vector<RedisValue> elements;

  bool is_nil() const { return type == kNil; }
  bool is_array() const { return type == kArray; }
};

}  // namespace vel

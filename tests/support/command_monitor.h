// CommandMonitor: watches the commands the shared test Redis receives,
// through MONITOR on a hiredis connection of its own, so that tests can see
// which commands an operation sent. Used from one test thread.
#pragma once

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <string>
#include <vector>

#include "support/test_env.h"

namespace plemox {

class CommandMonitor {
 public:
  CommandMonitor() {
    context_ = redisConnect(plemox_test::RedisHost().c_str(),
                            plemox_test::RedisPort());
    if (context_ == nullptr || context_->err) return;
    timeval timeout{10, 0};
    redisSetTimeout(context_, timeout);
    auto* reply = static_cast<redisReply*>(redisCommand(context_, "MONITOR"));
    ok_ = reply != nullptr && reply->type == REDIS_REPLY_STATUS;
    if (reply != nullptr) freeReplyObject(reply);
  }
  ~CommandMonitor() {
    if (context_ != nullptr) redisFree(context_);
  }
  CommandMonitor(const CommandMonitor&) = delete;
  CommandMonitor& operator=(const CommandMonitor&) = delete;

  // Whether MONITOR is running.
  bool ok() const { return ok_; }

  // The monitor lines that mention `needle`, up to the line that mentions
  // `marker` (a command sent after the watched work).
  std::vector<std::string> LinesUntil(const std::string& marker,
                                      const std::string& needle) {
    std::vector<std::string> lines;
    for (;;) {
      void* raw = nullptr;
      if (redisGetReply(context_, &raw) != REDIS_OK || raw == nullptr) {
        ADD_FAILURE() << "MONITOR stopped before the marker";
        return lines;
      }
      auto* reply = static_cast<redisReply*>(raw);
      const std::string line(reply->str, reply->len);
      freeReplyObject(reply);
      if (line.find(marker) != std::string::npos) return lines;
      if (line.find(needle) != std::string::npos) lines.push_back(line);
    }
  }

  // A monitor line is `<time> [<db> <client>] "<COMMAND>" "<arg>" ...`.
  // Its command name:
  static std::string CommandOf(const std::string& line) {
    const auto open = line.find("] \"");
    const auto close = line.find('"', open + 3);
    return line.substr(open + 3, close - open - 3);
  }
  // Its "[<db> <client>" part, which tells connections apart:
  static std::string ClientOf(const std::string& line) {
    const auto open = line.find('[');
    return line.substr(open, line.find(']') - open);
  }

 private:
  redisContext* context_ = nullptr;
  bool ok_ = false;
};

}  // namespace plemox

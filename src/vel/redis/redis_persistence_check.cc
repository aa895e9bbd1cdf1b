#include "vel/redis/redis_persistence_check.h"

#include <glog/logging.h>
#include <hiredis/hiredis.h>

#include <map>
#include <vector>

#include "vel/redis/internal/redis_runtime.h"
#include "vel/redis/internal/redis_text.h"

namespace vel {
namespace {

using redis_internal::CurrentRuntime;
using redis_internal::FindServer;
using redis_internal::Printable;
using redis_internal::RedisServerPool;

const char* const kSettings[] = {"maxmemory-policy", "maxmemory", "appendonly",
                                 "save"};

}  // namespace

RedisPersistenceCheck::Outcome RedisPersistenceCheck::Run(
    const std::string& tag) {
  std::vector<std::vector<std::string>> commands;
  for (const char* setting : kSettings) {
    commands.push_back({"CONFIG", "GET", setting});
  }
  Redis::Result failure = Redis::kError;
  std::shared_ptr<RedisServerPool> pool =
      FindServer(CurrentRuntime(), tag, commands.front(), &failure);
  if (pool == nullptr) return kUnknown;
  std::vector<RedisConnection::Reply> replies;
  const Redis::Result sent =
      pool->Run("CONFIG GET", [&](RedisConnection& connection) {
        replies = connection.Pipeline(commands);
        return !replies.empty();
      });
  if (sent != Redis::kSuccess) {
    LOG(WARNING) << "Cannot check how Redis keeps its data (tag='" << tag
                 << "'): the server did not answer; make sure it runs with "
                    "appendonly yes and maxmemory-policy noeviction";
    return kUnknown;
  }
  std::map<std::string, std::string> values;
  for (std::size_t i = 0; i < replies.size(); ++i) {
    const redisReply& reply = *replies[i];
    if (reply.type == REDIS_REPLY_ERROR) {
      LOG(WARNING) << "Cannot check how Redis keeps its data (tag='" << tag
                   << "'): CONFIG GET " << kSettings[i] << " was refused ("
                   << Printable(std::string(reply.str, reply.len))
                   << "); going on without the check";
      return kUnknown;
    }
    // [name, value]; an empty array for a setting the server does not know.
    if (reply.type != REDIS_REPLY_ARRAY || reply.elements != 2 ||
        reply.element[1]->type != REDIS_REPLY_STRING) {
      LOG(WARNING) << "Cannot check how Redis keeps its data (tag='" << tag
                   << "'): unexpected answer to CONFIG GET " << kSettings[i]
                   << "; going on without the check";
      return kUnknown;
    }
    values[kSettings[i]] =
        std::string(reply.element[1]->str, reply.element[1]->len);
  }
  std::string risks;
  const std::string& policy = values["maxmemory-policy"];
  if (policy != "noeviction" && values["maxmemory"] != "0") {
    risks = "maxmemory-policy=" + Printable(policy) +
            " evicts keys when maxmemory=" + Printable(values["maxmemory"]) +
            " is reached";
  }
  if (values["appendonly"] != "yes" && values["save"].empty()) {
    if (!risks.empty()) risks += "; ";
    risks += "appendonly=" + Printable(values["appendonly"]) +
             " and no save points: nothing survives a restart";
  }
  if (risks.empty()) return kKeepsData;
  LOG(WARNING) << "Redis may lose rankings (tag='" << tag << "'): " << risks
               << ". Production Redis needs appendonly yes (appendfsync "
                  "everysec) and maxmemory-policy noeviction";
  return kAtRisk;
}

}  // namespace vel

#include "vel/redis/redis_persistence_check.h"

#include <glog/logging.h>

#include <map>
#include <vector>

#include "vel/redis/internal/redis_runtime.h"
#include "vel/redis/internal/redis_text.h"

namespace vel {
namespace {

using redis_internal::CurrentRuntime;
using redis_internal::FindServer;
using redis_internal::Printable;

const char* const kSettings[] = {"maxmemory-policy", "maxmemory", "appendonly",
                                 "save"};

}  // namespace

RedisPersistenceCheck::Outcome RedisPersistenceCheck::Run(
    const std::string& tag) {
  std::vector<std::vector<std::string>> commands;
  for (const char* setting : kSettings) {
    commands.push_back({"CONFIG", "GET", setting});
  }
  const std::shared_ptr<redis_internal::RedisRuntime> runtime =
      CurrentRuntime();
  Redis::Result failure = Redis::kError;
  if (FindServer(runtime, tag, commands.front(), &failure) == nullptr) {
    return kUnknown;  // not initialised or an unknown tag: logged
  }
  std::vector<redis_internal::Answer> answers;
  const Redis::Result sent =
      redis_internal::Call(runtime, tag, "CONFIG GET", commands, &answers);
  if (sent != Redis::kSuccess) {
    LOG(WARNING) << "Cannot check how Redis keeps its data (tag='" << tag
                 << "'): the server did not answer; make sure it runs with "
                    "appendonly yes and maxmemory-policy noeviction";
    return kUnknown;
  }
  std::map<std::string, std::string> values;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const RedisValue& reply = answers[i].value;
    if (answers[i].result == Redis::kError) {
      LOG(WARNING) << "Cannot check how Redis keeps its data (tag='" << tag
                   << "'): CONFIG GET " << kSettings[i] << " was refused ("
                   << Printable(reply.text) << "); going on without the check";
      return kUnknown;
    }
    // [name, value]; an empty array for a setting the server does not know.
    if (reply.type != RedisValue::kArray || reply.elements.size() != 2 ||
        reply.elements[1].type != RedisValue::kString) {
      LOG(WARNING) << "Cannot check how Redis keeps its data (tag='" << tag
                   << "'): unexpected answer to CONFIG GET " << kSettings[i]
                   << "; going on without the check";
      return kUnknown;
    }
    values[kSettings[i]] = reply.elements[1].text;
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

#include "vel/http/counter.h"

#include <glog/logging.h>

#include <map>
#include <mutex>
#include <utility>

#include "vel/http/api_service.h"

namespace vel {
namespace {

struct Counter {
  std::string description;
  CounterHandler handler;
};

using CounterKey = std::pair<std::string, std::string>;  // group, name

std::mutex the_counters_mutex;
std::map<CounterKey, Counter> the_counters;  // GUARDED_BY(the_counters_mutex)

bool IsValidCounterName(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

// Counters' values keep the member order their handlers chose.
void AnswerJson(ApiService::Response* response, int status,
                const Json::Value& value) {
  response->status = status;
  response->headers["Content-Type"] = "application/json";
  response->body =
      value.dump(2, ' ', false, Json::Value::error_handler_t::replace);
}

void AnswerError(ApiService::Response* response, int status,
                 const std::string& message) {
  AnswerJson(response, status, {{"error", true}, {"message", message}});
}

// Lists the counters, all of them or those of `group` when it is not empty.
bool ServeCounterList(ApiService::Response* response,
                      const std::string& group) {
  Json::Value list = Json::Value::array();
  {
    std::lock_guard<std::mutex> lock(the_counters_mutex);
    for (const auto& [key, counter] : the_counters) {
      if (!group.empty() && key.first != group) continue;
      list.push_back({{"group", key.first},
                      {"name", key.second},
                      {"description", counter.description}});
    }
  }
  if (!group.empty() && list.empty()) {
    AnswerError(response, 404, "no counter group " + group);
    return true;
  }
  AnswerJson(response, 200, list);
  return true;
}

bool ServeCounter(ApiService::Response* response, const std::string& group,
                  const std::string& name) {
  CounterHandler handler;
  {
    std::lock_guard<std::mutex> lock(the_counters_mutex);
    auto it = the_counters.find({group, name});
    if (it != the_counters.end()) handler = it->second.handler;
  }
  if (!handler) {
    AnswerError(response, 404, "no counter " + group + "/" + name);
    return true;
  }
  Json value;
  int status = 500;
  try {
    status = handler(&value);
  } catch (const std::exception& e) {
    LOG(ERROR) << "Counter " << group << "/" << name << " threw: " << e.what();
    AnswerError(response, 500, "the counter failed");
    return true;
  }
  if (status < 100 || status > 599) {
    LOG(ERROR) << "Counter " << group << "/" << name
               << " returned an invalid HTTP status: " << status;
    AnswerError(response, 500, "the counter returned an invalid status");
    return true;
  }
  AnswerJson(response, status, value.value());
  return true;
}

bool ServeCounters(ApiService::Response* response,
                   const ApiService::Request& /*request*/,
                   const ApiService::Match& match) {
  const std::string group = match["group"].matched ? match["group"].str() : "";
  if (!match["name"].matched) return ServeCounterList(response, group);
  return ServeCounter(response, group, match["name"].str());
}

}  // namespace

void RegisterCallableCounter(const std::string& group, const std::string& name,
                             const std::string& description,
                             CounterHandler handler) {
  if (!IsValidCounterName(group) || !IsValidCounterName(name)) {
    LOG(ERROR) << "Counter refused: group and name must be non-empty and "
                  "made of letters, digits, '_', '-', '.': group="
               << group << ", name=" << name;
    return;
  }
  if (!handler) {
    LOG(ERROR) << "Counter refused: empty handler: group=" << group
               << ", name=" << name;
    return;
  }
  std::lock_guard<std::mutex> lock(the_counters_mutex);
  auto& counter = the_counters[{group, name}];
  if (counter.handler) {
    LOG(WARNING) << "Counter registered again; the new one replaces it: group="
                 << group << ", name=" << name;
  }
  counter.description = description;
  counter.handler = std::move(handler);
  VLOG(1) << "Counter registered: " << group << "/" << name;
}

void InstallCounterRoutes() {
  ApiService::RegisterHandler(
      ApiService::kGet,
      boost::regex("/v1/counters/(?:(?<group>[^/]+)/(?:(?<name>[^/]+)/)?)?"),
      &ServeCounters);
}

void ForgetCallableCounters() {
  std::lock_guard<std::mutex> lock(the_counters_mutex);
  the_counters.clear();
}

}  // namespace vel

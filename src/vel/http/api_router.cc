#include "vel/http/api_router.h"

#include <glog/logging.h>

#include <stdexcept>

namespace vel {
namespace {

constexpr int kKnownMethods = ApiService::kGet | ApiService::kPost |
                              ApiService::kPut | ApiService::kDelete;

}  // namespace

bool ApiRouter::Add(int methods, const boost::regex& path,
                    ApiService::Handler handler, ApiService::Handler3 handler3,
                    bool open) {
  if ((methods & ~kKnownMethods) != 0) {
    LOG(WARNING) << "API route " << path.str()
                 << " has unknown method bits; ignored: methods=" << methods;
  }
  methods &= kKnownMethods;
  if (methods == 0) {
    LOG(ERROR) << "API route " << path.str()
               << " refused: no known method (1 GET, 2 POST, 4 PUT, 8 DELETE)";
    return false;
  }
  if (!handler && !handler3) {
    LOG(ERROR) << "API route " << path.str() << " refused: empty handler";
    return false;
  }
  auto route = std::make_shared<Route>();
  route->methods = methods;
  route->path = path;
  route->open = open;
  route->handler = std::move(handler);
  route->handler3 = std::move(handler3);
  std::lock_guard<std::mutex> lock(mutex_);
  routes_.push_back(std::move(route));
  VLOG(1) << "API route registered: " << path.str() << ", methods=" << methods
          << (open ? ", open" : "");
  return true;
}

std::vector<ApiRouter::Found> ApiRouter::Match(const std::string& path) const {
  std::vector<std::shared_ptr<const Route>> routes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    routes = routes_;
  }
  std::vector<Found> found;
  for (auto& route : routes) {
    Found candidate;
    try {
      if (!boost::regex_match(path, candidate.match, route->path)) continue;
    } catch (const std::runtime_error& e) {
      // Boost.Regex gives up on pathological inputs instead of running
      // forever; a path from the network must not take the service down.
      LOG(WARNING) << "API route " << route->path.str()
                   << " could not be matched: " << e.what();
      continue;
    }
    candidate.route = std::move(route);
    found.push_back(std::move(candidate));
  }
  return found;
}

void ApiRouter::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_.clear();
}

}  // namespace vel

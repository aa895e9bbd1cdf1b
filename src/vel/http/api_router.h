// The route table of the API service: routes in registration order, each a
// set of method bits, a whole-path regular expression and a handler. All
// member functions are thread-safe; routes may be added while requests are
// being matched.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vel/http/api_service.h"

namespace vel {

class ApiRouter {
 public:
  // One registered route; exactly one of the two handlers is set.
  struct Route {
    int methods = 0;
    boost::regex path;
    // Served without the API token (ApiAccess).
    bool open = false;
    ApiService::Handler handler;
    ApiService::Handler3 handler3;
  };

  // A route whose path expression matched a request path.
  struct Found {
    std::shared_ptr<const Route> route;
    ApiService::Match match;
  };

  ApiRouter() = default;
  ApiRouter(const ApiRouter&) = delete;
  ApiRouter& operator=(const ApiRouter&) = delete;

  // Appends a route. Returns false (and logs why) when `methods` has no known
  // method bit or the handler is empty; unknown bits are dropped with a
  // warning. An `open` route is served without the API token.
  bool Add(int methods, const boost::regex& path, ApiService::Handler handler,
           ApiService::Handler3 handler3, bool open = false);

  // The routes whose expression matches the whole of `path`, in registration
  // order, whatever their methods. The matches point into `path`, which must
  // outlive the result. A match that exceeds the regex engine's complexity
  // bound counts as no match (logged).
  std::vector<Found> Match(const std::string& path) const;

  // Forgets every route.
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<const Route>> routes_;  // GUARDED_BY(mutex_)
};

}  // namespace vel

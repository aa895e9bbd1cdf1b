// The host's administrative HTTP/1.1 service (over Boost.Beast). Components
// register routes, each a whole-path regular expression (Boost.Regex, Perl
// syntax, named groups allowed) and a set of methods; the service answers on
// its own pool of API threads. Every function here is thread-safe unless its
// comment says otherwise.
#pragma once

#include <boost/regex.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "vel/http/http_request.h"
#include "vel/http/http_response.h"

namespace vel {

class ApiService {
 public:
  // Method codes are bit flags, so one route can serve several methods
  // (kGet | kPost). Other methods (HEAD, PATCH, ...) match no route.
  enum Method { kGet = 1, kPost = 2, kPut = 4, kDelete = 8 };

  using Request = HttpRequest;
  using Response = HttpResponse;
  // The route's match of the request path; named groups read as
  // match["leaderboard_key"]. It points into request.path, so it is valid
  // only while the request is (for Handler3: while any copy of `done` lives).
  using Match = boost::smatch;

  // Answers directly by filling *response, on an API thread. Returns true
  // when it handled the request; false lets the next matching route try (the
  // response is reset first), and when no route takes the request the answer
  // is 404. An exception from the handler is logged and answered with 500.
  using Handler = std::function<bool(Response* response, const Request& request,
                                     const Match& match)>;

  // Answers later: the handler (called on an API thread) must call `done`
  // exactly once, from any thread, at any time. A second call is ignored and
  // logged. When `done` has not been called within the deferred-answer
  // timeout (30 s by default) the client gets 504 and a later call is
  // ignored. The connection reads no further request until answered.
  using Done = std::function<void(const Response& response)>;
  using Handler3 = std::function<void(const Request& request,
                                      const Match& match, Done done)>;

  // Who may use a route while an API token is set (ApiAccess): kToken
  // routes need it, kOpen routes (health probes, the console's page, which
  // holds no data) are served to anyone. Without a token both are open.
  enum class Access { kToken, kOpen };

  // Adds a route tried after every route registered before it. `path` must
  // match the whole path (query string excluded). May be called before or
  // after Start(); a route with no known method bit or an empty handler is
  // refused with an error in the log.
  static void RegisterHandler(int methods, const boost::regex& path,
                              Handler handler, Access access = Access::kToken);
  static void RegisterHandler3(int methods, const boost::regex& path,
                               Handler3 handler,
                               Access access = Access::kToken);

  // Host start-up: listens on `bind_address` (an IP address or a host name;
  // "0.0.0.0" for all interfaces) and `port` (0 picks a free one), and serves
  // with `thread_count` API threads. Also installs the counter routes
  // (/v1/counters/...) and /metrics, /healthz, /readyz (the last two open).
  // While an API token is set, a request for any other route without it is
  // answered 401. Returns false, with the
  // reason in the log, when the service already runs, the thread count is below
  // 1, or the address cannot be resolved or bound.
  static bool Start(const std::string& bind_address, uint16_t port,
                    int thread_count);

  // Host shutdown: closes the listener and every connection, joins the API
  // threads (a handler still running is waited for), then forgets all routes
  // and callable counters. Answers given to `done` afterwards are dropped.
  // Does nothing when not running. Must not be called from an API thread.
  static void Stop();

  // The bound port while running (the real one when Start got 0), else 0.
  static uint16_t port();

  // While the host installs its component, the routes the component
  // registers are not all there yet: a path that matches no route is then
  // answered 503 with Retry-After, not 404, so that a caller at start-up
  // tries again instead of concluding the route does not exist. The host
  // sets it around the install; off by default.
  static void SetComponentStarting(bool starting);
  static bool component_starting();

  // Tuning, mostly for tests; takes effect for connections accepted later.
  // How long a Handler3 may take before the client gets 504.
  static void SetDeferredAnswerTimeout(std::chrono::milliseconds timeout);
  // How long an idle connection may take to send a whole request.
  static void SetReadTimeout(std::chrono::milliseconds timeout);

  ApiService() = delete;
};

}  // namespace vel

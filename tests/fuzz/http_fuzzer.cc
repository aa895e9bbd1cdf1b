// Fuzzes the HTTP side of the host: the bytes of one client connection go
// through a real ApiConnection (Beast's request parser, the limits, the
// ApiRouter with the server's route patterns, direct and deferred handlers,
// the error answers and the linger after them) over a socket pair. What
// comes back must be a sequence of well-formed HTTP/1.x responses whose
// statuses are the ones the service gives, whose error bodies are its JSON
// and whose route answers name what the route's pattern matched.
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/http.hpp>
#include <boost/regex.hpp>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "fuzz_support.h"
#include "vel/http/api_connection.h"
#include "vel/http/api_router.h"

namespace {

namespace http = boost::beast::http;
using vel::ApiService;

// "route <name>: <group>=<value> ..." for the groups a route has.
std::string Echo(const char* route, const ApiService::Match& match,
                 std::initializer_list<const char*> groups) {
  std::string body = std::string("route ") + route + ":";
  for (const char* group : groups) {
    body += std::string(" ") + group + "=" + match[group].str();
  }
  return body;
}

ApiService::Response Ok(std::string body) {
  ApiService::Response response;
  response.status = 200;
  response.headers["Content-Type"] = "text/plain";
  response.body = std::move(body);
  return response;
}

// The server's routes (the schedule routes and the counters), with handlers
// that echo their match and take every path a handler can: decline, throw,
// answer with a status or header the service must refuse, answer later from
// another handler, answer twice.
std::shared_ptr<vel::ApiRouter> MakeRouter(boost::asio::io_context* context) {
  auto router = std::make_shared<vel::ApiRouter>();
  router->Add(
      ApiService::kPut,
      boost::regex(R"(/v1/leaderboard_schedules/(?<leaderboard_key>\w+)/)"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match& match) {
        *response = Ok(Echo("reset", match, {"leaderboard_key"}));
        return true;
      },
      nullptr);
  router->Add(
      ApiService::kGet, boost::regex("/v1/leaderboard_schedules/status/all/"),
      [](ApiService::Response* response, const ApiService::Request& request,
         const ApiService::Match&) {
        *response = Ok("route status-all: query=" + request.query);
        return true;
      },
      nullptr);
  router->Add(
      ApiService::kGet,
      boost::regex(
          R"(/v1/leaderboard_schedules/status/(?<leaderboard_key>\w+)/)"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match& match) {
        const std::string key = match["leaderboard_key"];
        if (key == "decline") return false;
        if (key == "throw") throw std::runtime_error("handler failure");
        if (key == "badstatus") {
          response->status = 42;
          return true;
        }
        *response = Ok(Echo("status", match, {"leaderboard_key"}));
        if (key == "badheader") response->headers["X-Bad"] = "a\r\nb: c";
        if (key == "framing") response->headers["Content-Length"] = "1";
        return true;
      },
      nullptr);
  router->Add(ApiService::kGet,
              boost::regex("/v1/leaderboard_schedules/log/all/"), nullptr,
              [](const ApiService::Request&, const ApiService::Match& match,
                 ApiService::Done done) {
                done(Ok(Echo("log-all", match, {})));
                done(Ok("route log-all: second answer"));  // ignored
              });
  router->Add(
      ApiService::kGet,
      boost::regex(R"(/v1/leaderboard_schedules/log/(?<leaderboard_key>\w+)/)"),
      nullptr,
      [context](const ApiService::Request&, const ApiService::Match& match,
                ApiService::Done done) {
        if (match["leaderboard_key"] == "throw") {
          throw std::runtime_error("deferred handler failure");
        }
        std::string body = Echo("log", match, {"leaderboard_key"});
        boost::asio::post(*context,
                          [done, body] { done(Ok(std::move(body))); });
      });
  router->Add(
      ApiService::kGet | ApiService::kPost,
      boost::regex("/v1/counters/(?:(?<group>[^/]+)/(?:(?<name>[^/]+)/)?)?"),
      [](ApiService::Response* response, const ApiService::Request& request,
         const ApiService::Match& match) {
        *response = Ok(Echo("counters", match, {"group", "name"}) +
                       " body=" + std::to_string(request.body.size()));
        return true;
      },
      nullptr);
  return router;
}

std::string ReadToEnd(int fd) {
  std::string bytes;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;  // libFuzzer's timer signal
    if (n <= 0) return bytes;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Every status the service or the harness's handlers answer with.
const std::set<unsigned> kStatuses = {200, 400, 404, 405, 413, 431, 500, 504};

// Checks one response; aborts on anything the service must not send.
void CheckResponse(const http::response<http::string_body>& response) {
  const unsigned status = response.result_int();
  if (kStatuses.count(status) == 0) std::abort();
  const std::string& body = response.body();
  if (status != 200) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object() ||
        json.value("status", 0) != static_cast<int>(status) ||
        !json.value("error", false)) {
      std::abort();
    }
    return;
  }
  if (!StartsWith(body, "route ")) std::abort();
  if (response.count("X-Bad") != 0) std::abort();
  // A matched key is what \w+ allows, nothing around it. (Other routes echo
  // free text, which may spell "leaderboard_key=" too.)
  const bool keyed = StartsWith(body, "route reset:") ||
                     StartsWith(body, "route status:") ||
                     StartsWith(body, "route log:");
  const std::size_t key =
      keyed ? body.find("leaderboard_key=") : std::string::npos;
  if (key != std::string::npos) {
    const std::string value = body.substr(key + 16);
    if (value.empty()) std::abort();
    for (const char c : value) {
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) {
        std::abort();
      }
    }
  }
}

void CheckResponses(const std::string& bytes) {
  boost::beast::error_code ec;
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    http::response_parser<http::string_body> parser;
    parser.body_limit(1u << 24);
    parser.eager(true);
    const std::size_t used = parser.put(
        boost::asio::buffer(bytes.data() + offset, bytes.size() - offset), ec);
    if (ec || !parser.is_done()) std::abort();
    CheckResponse(parser.get());
    offset += used;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  plemox::fuzz::QuietLogging();
  std::signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  auto context = std::make_shared<boost::asio::io_context>();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
  boost::asio::ip::tcp::socket socket(boost::asio::make_strand(*context));
  boost::system::error_code ec;
  socket.assign(boost::asio::ip::tcp::v4(), fds[0], ec);
  if (ec) std::abort();

  vel::ApiConnection::Options options;
  // Small limits, so that short inputs reach them.
  options.header_limit = 1024;
  options.body_limit = 4096;
  auto connection = std::make_shared<vel::ApiConnection>(
      context, std::move(socket), MakeRouter(context.get()),
      std::make_shared<vel::ApiConnection::Gate>(), options);

  std::string answers;
  std::thread reader([&] { answers = ReadToEnd(fds[1]); });
  std::thread writer([&] {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::send(fds[1], data + done, size - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the connection closed first
      done += static_cast<std::size_t>(n);
    }
    ::shutdown(fds[1], SHUT_WR);
  });
  connection->Start();
  connection.reset();
  context->run();
  writer.join();
  reader.join();
  ::close(fds[1]);
  CheckResponses(answers);
  return 0;
}

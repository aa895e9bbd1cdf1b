// The HTTP API service against real sockets on 127.0.0.1: routing, methods,
// deferred answers, counters, hostile input and the service's lifecycle.
#include "vel/http/api_service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "support/test_env.h"
#include "vel/http/counter.h"

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using vel::ApiService;

constexpr auto kIoTimeout = std::chrono::seconds(10);

struct Reply {
  int status = 0;  // 0: no answer (connection closed or timed out)
  std::map<std::string, std::string> headers;
  std::string body;
  nlohmann::json Json() const { return nlohmann::json::parse(body); }
};

// A keep-alive HTTP/1.1 client; every operation has a deadline.
class Client {
 public:
  explicit Client(uint16_t port) : stream_(context_) {
    stream_.expires_after(kIoTimeout);
    stream_.async_connect(
        net::ip::tcp::endpoint(net::ip::address_v4::loopback(), port),
        [this](beast::error_code ec) { error_ = ec; });
    Run();
  }

  bool connected() const { return !error_; }

  Reply Send(http::verb method, const std::string& target,
             const std::string& body = "") {
    http::request<http::string_body> request{method, target, 11};
    request.set(http::field::host, "127.0.0.1");
    request.body() = body;
    request.prepare_payload();
    Reply reply;
    stream_.expires_after(kIoTimeout);
    http::async_write(
        stream_, request,
        [this](beast::error_code ec, std::size_t) { error_ = ec; });
    Run();
    if (error_) return reply;
    http::response_parser<http::string_body> parser;
    parser.body_limit(8 * 1024 * 1024);
    http::async_read(
        stream_, buffer_, parser,
        [this](beast::error_code ec, std::size_t) { error_ = ec; });
    Run();
    if (error_) return reply;
    const auto& response = parser.get();
    reply.status = response.result_int();
    for (const auto& field : response) {
      reply.headers[std::string(field.name_string())] =
          std::string(field.value());
    }
    reply.body = response.body();
    return reply;
  }

 private:
  void Run() {
    context_.restart();
    context_.run();
  }

  net::io_context context_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  beast::error_code error_;
};

Reply Fetch(http::verb method, const std::string& target,
            const std::string& body = "") {
  Client client(ApiService::port());
  return client.Send(method, target, body);
}

// Sends raw bytes and returns everything the server sends until it closes
// the connection (or the receive timeout passes). With `half_close` the
// client says it has nothing more to send.
std::string RawExchange(const std::string& bytes, bool half_close = true) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(ApiService::port());
  std::string received;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) ==
      0) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (half_close) ::shutdown(fd, SHUT_WR);
    char chunk[4096];
    for (;;) {
      ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
      if (n <= 0) break;
      received.append(chunk, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return received;
}

int StatusOf(const std::string& raw_response) {
  // "HTTP/1.1 413 Payload Too Large\r\n..."
  if (raw_response.compare(0, 5, "HTTP/") != 0) return 0;
  const auto space = raw_response.find(' ');
  return space == std::string::npos
             ? 0
             : std::atoi(raw_response.c_str() + space + 1);
}

bool Text(ApiService::Response* response, const std::string& body) {
  response->status = 200;
  response->headers["Content-Type"] = "text/plain";
  response->body = body;
  return true;
}

ApiService::Response TextResponse(const std::string& body) {
  ApiService::Response response;
  Text(&response, body);
  return response;
}

// Collects the `done` functions of Handler3 routes for the test to call.
class PendingAnswers {
 public:
  void Add(ApiService::Done done, const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.emplace_back(std::move(done), key);
  }
  std::size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
  }
  std::pair<ApiService::Done, std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    auto first = pending_.front();
    pending_.erase(pending_.begin());
    return first;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<ApiService::Done, std::string>> pending_;
};

class ApiServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    ApiService::SetDeferredAnswerTimeout(std::chrono::seconds(30));
    ApiService::SetReadTimeout(std::chrono::seconds(30));
    ASSERT_TRUE(ApiService::Start("127.0.0.1", 0, 2));
    ASSERT_NE(ApiService::port(), 0);
  }
  void TearDown() override { ApiService::Stop(); }
};

TEST_F(ApiServiceTest, NamedGroupsQueryAndHeadersReachTheHandler) {
  ApiService::RegisterHandler(
      ApiService::kGet,
      boost::regex(
          R"(/v1/leaderboard_schedules/status/(?<leaderboard_key>\w+)/)"),
      [](ApiService::Response* response, const ApiService::Request& request,
         const ApiService::Match& match) {
        return Text(response, match["leaderboard_key"].str() + "|" +
                                  request.query + "|" + request.Header("HOST"));
      });

  Reply reply =
      Fetch(http::verb::get, "/v1/leaderboard_schedules/status/lb7_week/?x=1");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "lb7_week|x=1|127.0.0.1");
  EXPECT_EQ(reply.headers["Content-Type"], "text/plain");

  // The expression must cover the whole path, and \w excludes '-'.
  EXPECT_EQ(
      Fetch(http::verb::get, "/v1/leaderboard_schedules/status/a-b/").status,
      404);
  EXPECT_EQ(Fetch(http::verb::get, "/v1/leaderboard_schedules/status/lb/extra")
                .status,
            404);
  EXPECT_EQ(
      Fetch(http::verb::get, "/prefix/v1/leaderboard_schedules/status/lb/")
          .status,
      404);
}

TEST_F(ApiServiceTest, RoutesAreTriedInRegistrationOrder) {
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/v1/leaderboard_schedules/status/all/"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match&) { return Text(response, "all"); });
  // Declines "skip" so that the next matching route gets it.
  ApiService::RegisterHandler(
      ApiService::kGet,
      boost::regex(
          R"(/v1/leaderboard_schedules/status/(?<leaderboard_key>\w+)/)"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match& match) {
        if (match["leaderboard_key"] == "skip" ||
            match["leaderboard_key"] == "nobody") {
          response->body = "partial answer that must not leak";
          return false;
        }
        return Text(response, "one:" + match["leaderboard_key"].str());
      });
  ApiService::RegisterHandler(
      ApiService::kGet,
      boost::regex(
          R"(/v1/leaderboard_schedules/status/(?<leaderboard_key>skip)/)"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match&) { return Text(response, "fallback"); });

  EXPECT_EQ(
      Fetch(http::verb::get, "/v1/leaderboard_schedules/status/all/").body,
      "all");
  EXPECT_EQ(Fetch(http::verb::get, "/v1/leaderboard_schedules/status/x/").body,
            "one:x");
  EXPECT_EQ(
      Fetch(http::verb::get, "/v1/leaderboard_schedules/status/skip/").body,
      "fallback");
  Reply declined =
      Fetch(http::verb::get, "/v1/leaderboard_schedules/status/nobody/");
  EXPECT_EQ(declined.status, 404);
  EXPECT_EQ(declined.body.find("partial"), std::string::npos);
}

TEST_F(ApiServiceTest, MethodsAreFiltered) {
  std::atomic<int> put_calls{0};
  std::atomic<int> get_calls{0};
  ApiService::RegisterHandler(
      ApiService::kPut,
      boost::regex(R"(/v1/leaderboard_schedules/(?<leaderboard_key>\w+)/)"),
      [&](ApiService::Response* response, const ApiService::Request& request,
          const ApiService::Match& match) {
        ++put_calls;
        return Text(response, "reset " + match["leaderboard_key"].str() + " " +
                                  request.body);
      });
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/v1/leaderboard_schedules/status/all/"),
      [&](ApiService::Response* response, const ApiService::Request&,
          const ApiService::Match&) {
        ++get_calls;
        return Text(response, "status");
      });
  ApiService::RegisterHandler(
      ApiService::kPost | ApiService::kDelete, boost::regex("/both/"),
      [](ApiService::Response* response, const ApiService::Request& request,
         const ApiService::Match&) {
        return Text(response, request.method_name);
      });

  EXPECT_EQ(
      Fetch(http::verb::put, "/v1/leaderboard_schedules/lb_week/", "now").body,
      "reset lb_week now");

  Reply put_on_status =
      Fetch(http::verb::put, "/v1/leaderboard_schedules/status/all/");
  EXPECT_EQ(put_on_status.status, 405);
  EXPECT_EQ(put_on_status.headers["Allow"], "GET");
  EXPECT_TRUE(put_on_status.Json()["error"].get<bool>());

  Reply get_on_reset =
      Fetch(http::verb::get, "/v1/leaderboard_schedules/lb_week/");
  EXPECT_EQ(get_on_reset.status, 405);
  EXPECT_EQ(get_on_reset.headers["Allow"], "PUT");
  EXPECT_EQ(Fetch(http::verb::patch, "/both/").status, 405);
  EXPECT_EQ(Fetch(http::verb::post, "/both/").body, "POST");
  EXPECT_EQ(Fetch(http::verb::delete_, "/both/").body, "DELETE");

  Reply unknown = Fetch(http::verb::post, "/v1/nothing/here/");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.headers["Content-Type"], "application/json");
  EXPECT_EQ(unknown.Json()["status"], 404);

  EXPECT_EQ(put_calls.load(), 1);
  EXPECT_EQ(get_calls.load(), 0);
}

TEST_F(ApiServiceTest, Handler3IsAnsweredFromAnotherThreadLater) {
  PendingAnswers pending;
  ApiService::RegisterHandler3(
      ApiService::kGet,
      boost::regex(R"(/v1/leaderboard_schedules/log/(?<leaderboard_key>\w+)/)"),
      [&](const ApiService::Request&, const ApiService::Match& match,
          ApiService::Done done) {
        pending.Add(std::move(done), match["leaderboard_key"].str());
      });
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/ping/"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match&) { return Text(response, "pong"); });

  Client client(ApiService::port());
  auto reply = std::async(std::launch::async, [&] {
    return client.Send(http::verb::get,
                       "/v1/leaderboard_schedules/log/lb_day/");
  });
  ASSERT_TRUE(plemox_test::WaitFor([&] { return pending.size() == 1; }));
  // Other connections are served while the answer is outstanding.
  EXPECT_EQ(Fetch(http::verb::get, "/ping/").body, "pong");

  auto [done, key] = pending.Take();
  std::thread answerer([done = done, key = key] {
    ApiService::Response response;
    response.headers["Content-Type"] = "application/json";
    response.body = nlohmann::json({{"key", key}}).dump();
    done(response);
    done(TextResponse("second answer must be ignored"));
  });
  answerer.join();
  Reply answered = reply.get();
  EXPECT_EQ(answered.status, 200);
  EXPECT_EQ(answered.Json()["key"], "lb_day");

  // The second call wrote nothing: the connection carries the next answer.
  EXPECT_EQ(client.Send(http::verb::get, "/ping/").body, "pong");
}

TEST_F(ApiServiceTest, UnansweredHandler3TimesOutWith504) {
  ApiService::Stop();
  ApiService::SetDeferredAnswerTimeout(std::chrono::milliseconds(200));
  ASSERT_TRUE(ApiService::Start("127.0.0.1", 0, 1));
  PendingAnswers pending;
  ApiService::RegisterHandler3(
      ApiService::kGet, boost::regex("/slow/"),
      [&](const ApiService::Request&, const ApiService::Match&,
          ApiService::Done done) { pending.Add(std::move(done), ""); });
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/ping/"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match&) { return Text(response, "pong"); });

  Client client(ApiService::port());
  Reply timed_out = client.Send(http::verb::get, "/slow/");
  EXPECT_EQ(timed_out.status, 504);
  ASSERT_EQ(pending.size(), 1u);
  // A late answer is dropped; the connection stays usable.
  pending.Take().first(TextResponse("too late"));
  EXPECT_EQ(client.Send(http::verb::get, "/ping/").body, "pong");
}

TEST_F(ApiServiceTest, ThrowingHandlersAnswer500) {
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/throws/"),
      [](ApiService::Response*, const ApiService::Request&,
         const ApiService::Match&) -> bool {
        throw std::runtime_error("boom");
      });
  ApiService::RegisterHandler3(
      ApiService::kGet, boost::regex("/throws3/"),
      [](const ApiService::Request&, const ApiService::Match&,
         ApiService::Done) { throw std::runtime_error("boom"); });
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/bad_status/"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match&) {
        response->status = 42;
        response->headers["X-Evil"] = "a\r\nInjected: yes";
        return true;
      });
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/bad_header/"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match&) {
        response->headers["X-Evil"] = "a\r\nInjected: yes";
        return Text(response, "ok");
      });

  EXPECT_EQ(Fetch(http::verb::get, "/throws/").status, 500);
  EXPECT_EQ(Fetch(http::verb::get, "/throws3/").status, 500);
  EXPECT_EQ(Fetch(http::verb::get, "/bad_status/").status, 500);
  Reply bad_header = Fetch(http::verb::get, "/bad_header/");
  EXPECT_EQ(bad_header.status, 200);
  EXPECT_EQ(bad_header.headers.count("X-Evil"), 0u);
  EXPECT_EQ(bad_header.headers.count("Injected"), 0u);
}

TEST_F(ApiServiceTest, CountersAreServedAsJson) {
  std::atomic<int> calls{0};
  vel::RegisterCallableCounter("leaderboard", "profiling", "request timings",
                               [&](vel::Json* out) {
                                 ++calls;
                                 out->Set("query_count", vel::Json(3));
                                 out->Set("flag", vel::Json(true));
                                 return 200;
                               });
  vel::RegisterCallableCounter("leaderboard", "health", "", [](vel::Json* out) {
    *out = vel::Json(std::string("degraded"));
    return 503;
  });
  vel::RegisterCallableCounter("other", "bad_status", "",
                               [](vel::Json*) { return 7; });
  vel::RegisterCallableCounter("bad/group", "x", "",
                               [](vel::Json*) { return 200; });

  Reply profiling =
      Fetch(http::verb::get, "/v1/counters/leaderboard/profiling/");
  EXPECT_EQ(profiling.status, 200);
  EXPECT_EQ(profiling.headers["Content-Type"], "application/json");
  EXPECT_EQ(profiling.Json(),
            nlohmann::json({{"query_count", 3}, {"flag", true}}));
  EXPECT_EQ(calls.load(), 1);

  Reply health = Fetch(http::verb::get, "/v1/counters/leaderboard/health/");
  EXPECT_EQ(health.status, 503);
  EXPECT_EQ(health.Json(), "degraded");
  EXPECT_EQ(Fetch(http::verb::get, "/v1/counters/other/bad_status/").status,
            500);
  EXPECT_EQ(Fetch(http::verb::get, "/v1/counters/leaderboard/none/").status,
            404);
  EXPECT_EQ(
      Fetch(http::verb::put, "/v1/counters/leaderboard/profiling/").status,
      405);

  const nlohmann::json all = Fetch(http::verb::get, "/v1/counters/").Json();
  ASSERT_TRUE(all.is_array());
  ASSERT_EQ(all.size(), 3u);  // the invalid group was refused
  EXPECT_EQ(all[0], nlohmann::json({{"group", "leaderboard"},
                                    {"name", "health"},
                                    {"description", ""}}));
  EXPECT_EQ(all[1], nlohmann::json({{"group", "leaderboard"},
                                    {"name", "profiling"},
                                    {"description", "request timings"}}));
  EXPECT_EQ(all[2]["group"], "other");
  EXPECT_EQ(Fetch(http::verb::get, "/v1/counters/leaderboard/").Json().size(),
            2u);
  EXPECT_EQ(Fetch(http::verb::get, "/v1/counters/nogroup/").status, 404);
}

TEST_F(ApiServiceTest, HostileInputIsRefusedWithoutHarm) {
  ApiService::RegisterHandler(
      ApiService::kPost | ApiService::kGet, boost::regex("/echo/"),
      [](ApiService::Response* response, const ApiService::Request& request,
         const ApiService::Match&) {
        return Text(response, std::to_string(request.body.size()));
      });

  // Garbage: answered 400, then the server closes (RawExchange sees EOF).
  EXPECT_EQ(StatusOf(RawExchange("HELLO THERE\r\n\r\n")), 400);
  EXPECT_EQ(
      StatusOf(RawExchange(std::string("GET /echo/ HTTP/1.1\r\nHost: \x01\x02"
                                       "\r\nContent-Length: -5\r\n\r\n"))),
      400);
  // Headers over the limit.
  EXPECT_EQ(StatusOf(RawExchange("GET /echo/ HTTP/1.1\r\nX-Big: " +
                                 std::string(16 * 1024, 'a') + "\r\n\r\n")),
            431);
  // A declared body over the limit is refused before it is read.
  EXPECT_EQ(StatusOf(RawExchange("POST /echo/ HTTP/1.1\r\nHost: x\r\n"
                                 "Content-Length: 2000000\r\n\r\n" +
                                 std::string(64 * 1024, 'b'))),
            413);
  // The same for a chunked body that grows past the limit.
  std::string chunked =
      "POST /echo/ HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 5; ++i) {
    chunked += "40000\r\n" + std::string(0x40000, 'c') + "\r\n";
  }
  chunked += "0\r\n\r\n";
  EXPECT_EQ(StatusOf(RawExchange(chunked)), 413);
  // A body of exactly the limit is fine.
  EXPECT_EQ(
      Fetch(http::verb::post, "/echo/", std::string(1024 * 1024, 'd')).body,
      "1048576");
  // Invalid UTF-8 in the path does not break the JSON error body.
  Reply bad_path = Fetch(http::verb::get, "/\xff\xfe/");
  EXPECT_EQ(bad_path.status, 404);
  EXPECT_TRUE(bad_path.Json()["error"].get<bool>());
}

TEST_F(ApiServiceTest, IdleConnectionsAreClosedAfterTheReadTimeout) {
  ApiService::Stop();
  ApiService::SetReadTimeout(std::chrono::milliseconds(200));
  ASSERT_TRUE(ApiService::Start("127.0.0.1", 0, 1));
  // Half a request, then silence: the server gives up and closes.
  EXPECT_EQ(RawExchange("GET /echo/ HTTP/1.1\r\nHost: x\r\n", false), "");
}

TEST_F(ApiServiceTest, KeepAliveServesSeveralRequestsOnOneConnection) {
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/whoami/"),
      [](ApiService::Response* response, const ApiService::Request& request,
         const ApiService::Match&) { return Text(response, request.remote); });

  Client client(ApiService::port());
  Reply first = client.Send(http::verb::get, "/whoami/");
  Reply second = client.Send(http::verb::get, "/whoami/");
  EXPECT_EQ(first.status, 200);
  EXPECT_FALSE(first.body.empty());
  EXPECT_EQ(first.body, second.body);  // same peer port: same connection
  EXPECT_EQ(client.Send(http::verb::get, "/missing/").status, 404);
  EXPECT_EQ(client.Send(http::verb::get, "/whoami/").body, first.body);

  // Two pipelined requests in one write get two answers in order.
  const std::string raw = RawExchange(
      "GET /whoami/ HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /nothing/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const auto second_status = raw.find("HTTP/1.1 404");
  EXPECT_EQ(StatusOf(raw), 200);
  EXPECT_NE(second_status, std::string::npos);
}

TEST_F(ApiServiceTest, StopForgetsRoutesAndStartServesAgain) {
  PendingAnswers pending;
  ApiService::RegisterHandler3(
      ApiService::kGet, boost::regex("/slow/"),
      [&](const ApiService::Request&, const ApiService::Match&,
          ApiService::Done done) { pending.Add(std::move(done), ""); });
  vel::RegisterCallableCounter("g", "n", "", [](vel::Json*) { return 200; });

  // Stop while an answer is outstanding: the client sees the connection
  // close, and answering afterwards is harmless.
  auto reply = std::async(std::launch::async,
                          [] { return Fetch(http::verb::get, "/slow/"); });
  ASSERT_TRUE(plemox_test::WaitFor([&] { return pending.size() == 1; }));
  EXPECT_FALSE(ApiService::Start("127.0.0.1", 0, 1));  // already running
  ApiService::Stop();
  EXPECT_EQ(reply.get().status, 0);
  EXPECT_EQ(ApiService::port(), 0);
  pending.Take().first(TextResponse("after stop"));

  ASSERT_TRUE(ApiService::Start("127.0.0.1", 0, 2));
  EXPECT_EQ(Fetch(http::verb::get, "/slow/").status, 404);
  EXPECT_EQ(Fetch(http::verb::get, "/v1/counters/").Json(),
            nlohmann::json::array());
  ApiService::RegisterHandler(
      ApiService::kGet, boost::regex("/again/"),
      [](ApiService::Response* response, const ApiService::Request&,
         const ApiService::Match&) { return Text(response, "again"); });
  EXPECT_EQ(Fetch(http::verb::get, "/again/").body, "again");
}

TEST(ApiServiceStartTest, RefusesBadSettings) {
  // A port held by another listener cannot be bound.
  net::io_context context;
  net::ip::tcp::acceptor holder(
      context, net::ip::tcp::endpoint(net::ip::address_v4::loopback(), 0));
  EXPECT_FALSE(
      ApiService::Start("127.0.0.1", holder.local_endpoint().port(), 1));
  EXPECT_FALSE(ApiService::Start("not an address!", 0, 1));
  EXPECT_FALSE(ApiService::Start("127.0.0.1", 0, 0));
  EXPECT_EQ(ApiService::port(), 0);
}

}  // namespace

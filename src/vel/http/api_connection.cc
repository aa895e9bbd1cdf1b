#include "vel/http/api_connection.h"

#include <glog/logging.h>

#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>
#include <utility>

#include "vel/http/api_access.h"

namespace vel {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;

struct ApiConnection::Exchange {
  ApiService::Request request;
  std::vector<ApiRouter::Found> found;  // matches point into request.path
  unsigned version = 11;
  bool keep_alive = true;
  // Set by whoever answers first: the handler's `done`, the timeout or an
  // error path. Anything later is ignored.
  std::atomic<bool> answered{false};
};

namespace {

// How long, and how much, the client may still send after an error answer
// before the connection is closed anyway.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::size_t kLingerBytes = 4 * 1024 * 1024;
// Headers are limited separately; the read buffer only needs room for them
// and for a read-ahead chunk of the body.
constexpr std::size_t kReadBufferLimit = 64 * 1024;

ApiService::Response ErrorResponse(int status, const std::string& message) {
  nlohmann::json body = {
      {"error", true}, {"status", status}, {"message", message}};
  ApiService::Response response;
  response.status = status;
  response.headers["Content-Type"] = "application/json";
  // Messages may quote bytes from the client; never fail on bad UTF-8.
  response.body =
      body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return response;
}

int MethodCode(http::verb verb) {
  switch (verb) {
    case http::verb::get:
      return ApiService::kGet;
    case http::verb::post:
      return ApiService::kPost;
    case http::verb::put:
      return ApiService::kPut;
    case http::verb::delete_:
      return ApiService::kDelete;
    default:
      return 0;
  }
}

std::string AllowHeader(int methods) {
  std::string allow;
  auto add = [&allow](const char* name) {
    if (!allow.empty()) allow += ", ";
    allow += name;
  };
  if (methods & ApiService::kGet) add("GET");
  if (methods & ApiService::kPost) add("POST");
  if (methods & ApiService::kPut) add("PUT");
  if (methods & ApiService::kDelete) add("DELETE");
  return allow;
}

bool IsTokenChar(char c) {
  static const std::string kSeparators = "()<>@,;:\\\"/[]?={} \t";
  return c > 32 && c < 127 && kSeparators.find(c) == std::string::npos;
}

// Whether a handler's header can be sent as it is: a token name and a value
// that cannot break the header block.
bool IsSendableHeader(const std::string& name, const std::string& value) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!IsTokenChar(c)) return false;
  }
  for (char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

// Headers the service sets itself from the body and the keep-alive decision.
bool IsFramingHeader(const std::string& name) {
  return beast::iequals(name, "Content-Length") ||
         beast::iequals(name, "Transfer-Encoding") ||
         beast::iequals(name, "Connection");
}

// ", forwarded for=<header>" when a proxy passed the client's address on;
// the header is the proxy's word, so it is logged beside the peer, never
// instead of it.
std::string ForwardedFor(const ApiService::Request& request) {
  const std::string forwarded = request.Header("X-Forwarded-For");
  if (forwarded.empty()) return "";
  return ", forwarded for=" + forwarded.substr(0, 200);
}

bool IsHttpParseError(const beast::error_code& ec) {
  return ec.category() ==
         http::make_error_code(http::error::bad_method).category();
}

}  // namespace

ApiConnection::ApiConnection(std::shared_ptr<net::io_context> context,
                             net::ip::tcp::socket socket,
                             std::shared_ptr<const ApiRouter> router,
                             std::shared_ptr<Gate> gate, Options options)
    : context_(std::move(context)),
      stream_(std::move(socket)),
      deferred_timer_(stream_.get_executor()),
      router_(std::move(router)),
      gate_(std::move(gate)),
      options_(options),
      buffer_(kReadBufferLimit) {
  beast::error_code ec;
  auto endpoint = stream_.socket().remote_endpoint(ec);
  remote_ = ec ? std::string("unknown peer")
               : endpoint.address().to_string() + ":" +
                     std::to_string(endpoint.port());
}

void ApiConnection::Start() {
  net::dispatch(stream_.get_executor(),
                [self = shared_from_this()] { self->DoRead(); });
}

void ApiConnection::Close() {
  net::post(stream_.get_executor(),
            [self = shared_from_this()] { self->DoClose(); });
}

void ApiConnection::DoRead() {
  if (closed_) return;
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(options_.header_limit));
  parser_->body_limit(options_.body_limit);
  stream_.expires_after(options_.read_timeout);
  http::async_read(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->OnRead(ec);
      });
}

void ApiConnection::OnRead(beast::error_code ec) {
  if (closed_ || ec == net::error::operation_aborted) return;
  if (ec == http::error::end_of_stream) {
    VLOG(2) << "API connection closed by the client: remote=" << remote_;
    DoClose();
    return;
  }
  if (ec == beast::error::timeout) {
    VLOG(1) << "API connection timed out waiting for a request: remote="
            << remote_;
    DoClose();
    return;
  }
  if (ec == http::error::body_limit) {
    LOG(WARNING) << "API request refused: body larger than "
                 << options_.body_limit << " bytes, remote=" << remote_;
    RejectAndClose(413, "request body too large");
    return;
  }
  if (ec == http::error::header_limit) {
    LOG(WARNING) << "API request refused: headers larger than "
                 << options_.header_limit << " bytes, remote=" << remote_;
    RejectAndClose(431, "request headers too large");
    return;
  }
  if (ec && IsHttpParseError(ec)) {
    LOG(WARNING) << "API request refused: malformed HTTP (" << ec.message()
                 << "), remote=" << remote_;
    RejectAndClose(400, "malformed request");
    return;
  }
  if (ec) {
    VLOG(1) << "API connection read failed: " << ec.message()
            << ", remote=" << remote_;
    DoClose();
    return;
  }
  stream_.expires_never();
  auto exchange = std::make_shared<Exchange>();
  http::request<http::string_body> message = parser_->release();
  parser_.reset();
  ApiService::Request& request = exchange->request;
  request.method = MethodCode(message.method());
  request.method_name = std::string(message.method_string());
  request.target = std::string(message.target());
  const std::size_t question = request.target.find('?');
  request.path = request.target.substr(0, question);
  if (question != std::string::npos) {
    request.query = request.target.substr(question + 1);
  }
  for (const auto& field : message) {
    std::string name(field.name_string());
    std::string value(field.value());
    auto it = request.headers.find(name);
    if (it == request.headers.end()) {
      request.headers.emplace(std::move(name), std::move(value));
    } else {
      it->second += ", " + value;
    }
  }
  request.body = std::move(message.body());
  request.remote = remote_;
  exchange->version = message.version();
  exchange->keep_alive = message.keep_alive();
  VLOG(2) << "API request: " << request.method_name << " " << request.target
          << ", remote=" << remote_;
  Dispatch(exchange);
}

bool ApiConnection::CheckAccess(const Exchange& exchange) {
  const ApiService::Request& request = exchange.request;
  // A path that matches no route needs the token too, so that a caller
  // without it learns nothing about the routes.
  bool open = !exchange.found.empty();
  for (const auto& found : exchange.found) open = open && found.route->open;
  if (open) return true;
  const ApiAccess::Verdict verdict = ApiAccess::Check(request);
  if (verdict == ApiAccess::Verdict::kAllowed) return true;
  const bool missing = verdict == ApiAccess::Verdict::kMissingToken;
  LOG(WARNING) << "API request refused: "
               << (missing ? "no API token" : "wrong API token") << ", "
               << request.method_name << " " << request.path
               << ", remote=" << remote_ << ForwardedFor(request);
  ApiService::Response response = ErrorResponse(
      401, missing ? "this route needs the API token: send the header "
                     "'Authorization: Bearer <token>'"
                   : "wrong API token");
  response.headers["WWW-Authenticate"] =
      missing ? "Bearer realm=\"plemox\""
              : "Bearer realm=\"plemox\", error=\"invalid_token\"";
  Write(response, exchange.version, exchange.keep_alive);
  return false;
}

void ApiConnection::Dispatch(const std::shared_ptr<Exchange>& exchange) {
  const ApiService::Request& request = exchange->request;
  exchange->found = router_->Match(request.path);
  if (!CheckAccess(*exchange)) return;
  if (exchange->found.empty() && ApiService::component_starting()) {
    ApiService::Response response = ErrorResponse(
        503, "the server is starting: its routes are not all registered yet");
    response.headers["Retry-After"] = "1";
    Write(response, exchange->version, exchange->keep_alive);
    return;
  }
  if (exchange->found.empty()) {
    Write(ErrorResponse(404, "no route for " + request.path), exchange->version,
          exchange->keep_alive);
    return;
  }
  int allowed = 0;
  for (const auto& found : exchange->found) allowed |= found.route->methods;
  if ((allowed & request.method) == 0) {
    ApiService::Response response = ErrorResponse(
        405, request.method_name + " is not allowed on " + request.path);
    response.headers["Allow"] = AllowHeader(allowed);
    Write(response, exchange->version, exchange->keep_alive);
    return;
  }
  if (request.method != ApiService::kGet) {
    // Only these methods may change anything: say what and from where.
    LOG(INFO) << "API change requested: " << request.method_name << " "
              << request.target << ", remote=" << remote_
              << ForwardedFor(request);
  }
  for (const auto& found : exchange->found) {
    if ((found.route->methods & request.method) == 0) continue;
    if (found.route->handler3) {
      StartDeferred(exchange, found);
      return;
    }
    ApiService::Response response;
    bool handled = false;
    try {
      handled = found.route->handler(&response, request, found.match);
    } catch (const std::exception& e) {
      LOG(ERROR) << "API handler for " << request.method_name << " "
                 << request.path << " threw: " << e.what();
      Write(ErrorResponse(500, "internal error"), exchange->version,
            exchange->keep_alive);
      return;
    }
    if (handled) {
      Write(response, exchange->version, exchange->keep_alive);
      return;
    }
  }
  Write(ErrorResponse(404, "no handler took " + request.path),
        exchange->version, exchange->keep_alive);
}

void ApiConnection::StartDeferred(const std::shared_ptr<Exchange>& exchange,
                                  const ApiRouter::Found& found) {
  pending_ = exchange;
  deferred_timer_.expires_after(options_.deferred_answer_timeout);
  deferred_timer_.async_wait(
      [self = shared_from_this(), exchange](beast::error_code ec) {
        self->OnDeferredTimeout(exchange, ec);
      });
  // `done` keeps the exchange, and with it the request and the match the
  // handler was given, alive for as long as the handler holds it.
  ApiService::Done done = [self = shared_from_this(),
                           exchange](const ApiService::Response& response) {
    if (exchange->answered.exchange(true)) {
      LOG(WARNING) << "API answer to " << exchange->request.method_name << " "
                   << exchange->request.path
                   << " ignored: the request was already answered (a second "
                      "call, or after the timeout)";
      return;
    }
    std::lock_guard<std::mutex> lock(self->gate_->mutex);
    if (!self->gate_->open) {
      LOG(WARNING) << "API answer to " << exchange->request.method_name << " "
                   << exchange->request.path
                   << " dropped: the API service has stopped";
      return;
    }
    net::post(self->stream_.get_executor(), [self, exchange, response] {
      self->OnDeferredAnswer(exchange, response);
    });
  };
  try {
    found.route->handler3(exchange->request, found.match, std::move(done));
  } catch (const std::exception& e) {
    LOG(ERROR) << "API handler for " << exchange->request.method_name << " "
               << exchange->request.path << " threw: " << e.what();
    if (!exchange->answered.exchange(true)) {
      pending_.reset();
      deferred_timer_.cancel();
      Write(ErrorResponse(500, "internal error"), exchange->version,
            exchange->keep_alive);
    }
  }
}

void ApiConnection::OnDeferredAnswer(const std::shared_ptr<Exchange>& exchange,
                                     const ApiService::Response& response) {
  if (closed_ || pending_ != exchange) {
    VLOG(1) << "API answer to " << exchange->request.path
            << " dropped: the connection is gone, remote=" << remote_;
    return;
  }
  pending_.reset();
  deferred_timer_.cancel();
  Write(response, exchange->version, exchange->keep_alive);
}

void ApiConnection::OnDeferredTimeout(const std::shared_ptr<Exchange>& exchange,
                                      beast::error_code ec) {
  if (ec || closed_ || pending_ != exchange) return;
  // An answer already on its way wins over the timeout.
  if (exchange->answered.exchange(true)) return;
  LOG(WARNING) << "API handler for " << exchange->request.method_name << " "
               << exchange->request.path << " did not answer within "
               << options_.deferred_answer_timeout.count()
               << " ms; answering 504, remote=" << remote_;
  pending_.reset();
  Write(ErrorResponse(504, "the handler did not answer in time"),
        exchange->version, exchange->keep_alive);
}

void ApiConnection::RejectAndClose(int status, const std::string& message) {
  unsigned version = 11;
  if (parser_ && parser_->is_header_done()) version = parser_->get().version();
  parser_.reset();
  linger_after_write_ = true;
  Write(ErrorResponse(status, message), version, false);
}

void ApiConnection::Write(const ApiService::Response& response,
                          unsigned version, bool keep_alive) {
  auto message = std::make_shared<BeastResponse>();
  message->version(version);
  if (response.status < 100 || response.status > 599) {
    LOG(ERROR) << "API handler answered with invalid status " << response.status
               << "; sending 500, remote=" << remote_;
    const ApiService::Response error = ErrorResponse(500, "internal error");
    message->result(static_cast<unsigned>(error.status));
    message->set(http::field::content_type, "application/json");
    message->body() = error.body;
  } else {
    message->result(static_cast<unsigned>(response.status));
    for (const auto& [name, value] : response.headers) {
      if (!IsSendableHeader(name, value)) {
        LOG(ERROR) << "API handler set an invalid header; dropped: name="
                   << name;
        continue;
      }
      if (IsFramingHeader(name)) continue;
      message->set(name, value);
    }
    message->body() = response.body;
  }
  message->keep_alive(keep_alive);
  message->prepare_payload();
  VLOG(2) << "API answer: status=" << message->result_int()
          << ", remote=" << remote_;
  stream_.expires_after(options_.write_timeout);
  http::async_write(stream_, *message,
                    [self = shared_from_this(), message, keep_alive](
                        beast::error_code ec, std::size_t) {
                      self->OnWrite(message, !keep_alive, ec);
                    });
}

void ApiConnection::OnWrite(std::shared_ptr<BeastResponse> /*response*/,
                            bool close, beast::error_code ec) {
  if (closed_) return;
  if (ec) {
    VLOG(1) << "API answer could not be sent: " << ec.message()
            << ", remote=" << remote_;
    DoClose();
    return;
  }
  if (linger_after_write_) {
    Linger();
    return;
  }
  if (close) {
    beast::error_code ignored;
    stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    DoClose();
    return;
  }
  DoRead();
}

void ApiConnection::Linger() {
  beast::error_code ignored;
  stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
  stream_.expires_after(kLingerTime);
  lingered_bytes_ = 0;
  stream_.async_read_some(
      net::buffer(linger_buffer_),
      [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
        self->OnLingerRead(ec, bytes);
      });
}

void ApiConnection::OnLingerRead(beast::error_code ec, std::size_t bytes) {
  if (closed_) return;
  lingered_bytes_ += bytes;
  if (ec || lingered_bytes_ > kLingerBytes) {
    DoClose();
    return;
  }
  stream_.async_read_some(
      net::buffer(linger_buffer_),
      [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
        self->OnLingerRead(ec, bytes);
      });
}

void ApiConnection::DoClose() {
  if (closed_) return;
  closed_ = true;
  pending_.reset();
  deferred_timer_.cancel();
  beast::error_code ignored;
  stream_.socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
  stream_.close();
}

}  // namespace vel

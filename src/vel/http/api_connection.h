// One HTTP/1.1 connection of the API service: reads requests one at a time
// (bounded in size and time), routes each through the ApiRouter, writes the
// answer and keeps the connection open when the client asks for it. All work
// of a connection runs on its strand; Start() and Close() may be called from
// any thread.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>

#include "vel/http/api_router.h"
#include "vel/http/api_service.h"

namespace vel {

class ApiConnection : public std::enable_shared_from_this<ApiConnection> {
 public:
  struct Options {
    // Request line and headers together; more is answered with 431.
    std::size_t header_limit = 8 * 1024;
    // A larger body is answered with 413.
    std::size_t body_limit = 1024 * 1024;
    // Time to receive one whole request; an idle keep-alive connection is
    // closed after it.
    std::chrono::milliseconds read_timeout{30000};
    // Time to send one answer.
    std::chrono::milliseconds write_timeout{30000};
    // Time a Handler3 has to call `done` before the client gets 504.
    std::chrono::milliseconds deferred_answer_timeout{30000};
  };

  // Shared by the service and all its connections: once `open` is false no
  // more work is posted to the service's threads (late `done` calls are
  // dropped), so the threads can run out of work and be joined.
  struct Gate {
    std::mutex mutex;
    bool open = true;  // GUARDED_BY(mutex)
  };

  // `socket` must have a strand of `context` as its executor. The connection
  // keeps `context` alive because its socket and timer belong to it.
  ApiConnection(std::shared_ptr<boost::asio::io_context> context,
                boost::asio::ip::tcp::socket socket,
                std::shared_ptr<const ApiRouter> router,
                std::shared_ptr<Gate> gate, Options options);
  ApiConnection(const ApiConnection&) = delete;
  ApiConnection& operator=(const ApiConnection&) = delete;

  // Begins reading the first request.
  void Start();
  // Closes the socket and cancels pending work; an answer still pending is
  // dropped.
  void Close();

 private:
  // One request and what it needs until answered. The route matches point
  // into request.path.
  struct Exchange;
  using BeastResponse =
      boost::beast::http::response<boost::beast::http::string_body>;

  void DoRead();
  void OnRead(boost::beast::error_code ec);
  void Dispatch(const std::shared_ptr<Exchange>& exchange);
  // Whether the routes `exchange` found may be served to its request (the
  // API token, ApiAccess); otherwise answers 401 and returns false.
  bool CheckAccess(const Exchange& exchange);
  void StartDeferred(const std::shared_ptr<Exchange>& exchange,
                     const ApiRouter::Found& found);
  void OnDeferredAnswer(const std::shared_ptr<Exchange>& exchange,
                        const ApiService::Response& response);
  void OnDeferredTimeout(const std::shared_ptr<Exchange>& exchange,
                         boost::beast::error_code ec);
  // Answers a request that could not be read and closes afterwards.
  void RejectAndClose(int status, const std::string& message);
  void Write(const ApiService::Response& response, unsigned version,
             bool keep_alive);
  void OnWrite(std::shared_ptr<BeastResponse> response, bool close,
               boost::beast::error_code ec);
  // Half-closes and discards what the client still sends for a short while,
  // so that an error answer is not lost to a connection reset.
  void Linger();
  void OnLingerRead(boost::beast::error_code ec, std::size_t bytes);
  void DoClose();

  std::shared_ptr<boost::asio::io_context> context_;
  boost::beast::tcp_stream stream_;
  boost::asio::steady_timer deferred_timer_;
  std::shared_ptr<const ApiRouter> router_;
  std::shared_ptr<Gate> gate_;
  const Options options_;
  std::string remote_;

  // Touched only on the strand.
  boost::beast::flat_buffer buffer_;
  std::optional<
      boost::beast::http::request_parser<boost::beast::http::string_body>>
      parser_;
  std::shared_ptr<Exchange> pending_;  // awaiting a Handler3 answer
  bool linger_after_write_ = false;    // after an error answer
  std::size_t lingered_bytes_ = 0;
  char linger_buffer_[4096];
  bool closed_ = false;
};

}  // namespace vel

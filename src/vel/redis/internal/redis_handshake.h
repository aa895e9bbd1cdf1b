// Opens one connection to a Redis server without blocking a thread
// (vel_redis only): resolve, connect, TLS handshake when the endpoint has
// TLS, AUTH when it has a user or password, then the caller's commands
// (ROLE, a Sentinel query), each step within the endpoint's timeout. Every
// Redis connection of the client is opened here: the pipelines' and the
// Sentinel queries'. Start may be called on any thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vel/redis/internal/redis_endpoint.h"
#include "vel/redis/internal/redis_reply_reader.h"
#include "vel/redis/internal/redis_stream.h"
#include "vel/redis/redis_value.h"

namespace vel {
namespace redis_internal {

class RedisHandshake : public std::enable_shared_from_this<RedisHandshake> {
 public:
  // Runs once on a thread of the io_context, never on Start's stack: the
  // ready stream and the replies to the commands in order (error replies
  // included), or a null stream with the reason ("connect failed: ...",
  // "TLS handshake failed: ...", "authentication failed ...").
  using Callback =
      std::function<void(std::shared_ptr<RedisStream> stream,
                         std::vector<RedisValue> replies, std::string error)>;

  static void Start(std::shared_ptr<boost::asio::io_context> io,
                    RedisEndpoint endpoint,
                    std::vector<std::vector<std::string>> commands,
                    Callback callback);

  // Public for make_shared only; use Start.
  RedisHandshake(std::shared_ptr<boost::asio::io_context> io,
                 RedisEndpoint endpoint,
                 std::vector<std::vector<std::string>> commands,
                 Callback callback);

 private:
  using Socket = RedisStream::Socket;
  using Endpoints = std::vector<Socket::endpoint_type>;

  void Begin();
  void ConnectTo(std::size_t index);
  void OnConnected(std::size_t index, const boost::system::error_code& error);
  void OnTlsHandshake(const boost::system::error_code& error);
  void SendCommands();
  void ReadReplies();
  // A step begins: `timeout_text` is the failure should the timeout pass.
  void Arm(std::string timeout_text);
  void Finish(std::string error);
  std::string Auth() const;

  const std::shared_ptr<boost::asio::io_context> io_;
  const RedisEndpoint endpoint_;
  std::vector<std::vector<std::string>> commands_;  // AUTH first, if any
  bool has_auth_ = false;
  Callback callback_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  boost::asio::steady_timer timer_;
  boost::asio::ip::tcp::resolver resolver_;
  Socket socket_;
  Endpoints endpoints_;
  std::shared_ptr<RedisStream> stream_;
  RedisReplyReader reader_;
  std::string out_;
  std::vector<RedisValue> replies_;
  std::string timeout_text_;  // set while a step runs
  bool timed_out_ = false;
  bool finished_ = false;
};

}  // namespace redis_internal
}  // namespace vel

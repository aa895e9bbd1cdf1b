// One connected byte stream to a Redis server (vel_redis only): a plain TCP
// or Unix socket, or TLS over TCP. Made by RedisHandshake; then used by one
// owner, whose asynchronous operations on a TLS stream must all run on one
// strand (one read and one write at a time).
#pragma once

#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "vel/redis/internal/redis_tls.h"

namespace vel {
namespace redis_internal {

class RedisStream {
 public:
  using Socket = RedisTls::Socket;
  using TlsStream = RedisTls::Stream;

  // A plain stream over the connected `socket`.
  explicit RedisStream(Socket socket);
  // A TLS stream (handshake done or to be done).
  explicit RedisStream(std::unique_ptr<TlsStream> tls);
  RedisStream(const RedisStream&) = delete;
  RedisStream& operator=(const RedisStream&) = delete;

  // The socket under the stream (its fd, readiness waits, Close).
  Socket& socket() { return tls_ != nullptr ? tls_->next_layer() : socket_; }
  int native_handle() { return socket().native_handle(); }
  // The TLS layer; null on a plain stream.
  TlsStream* tls() { return tls_.get(); }

  // Writes all of `data` / reads what comes, through TLS when there is
  // TLS; `handler(error_code, std::size_t)` runs on its associated executor
  // (bind it to the owner's strand). The caller keeps the stream and the
  // buffers alive until it runs (capturing a shared_ptr to the stream does).
  template <typename WriteHandler>
  void AsyncWrite(boost::asio::const_buffer data, WriteHandler&& handler) {
    if (tls_ != nullptr) {
      boost::asio::async_write(*tls_, data,
                               std::forward<WriteHandler>(handler));
    } else {
      boost::asio::async_write(socket_, data,
                               std::forward<WriteHandler>(handler));
    }
  }
  template <typename ReadHandler>
  void AsyncReadSome(boost::asio::mutable_buffer buffer,
                     ReadHandler&& handler) {
    if (tls_ != nullptr) {
      tls_->async_read_some(buffer, std::forward<ReadHandler>(handler));
    } else {
      socket_.async_read_some(buffer, std::forward<ReadHandler>(handler));
    }
  }

  // A buffer of the stream's own for AsyncReadSome.
  std::vector<char>& read_buffer() { return read_buffer_; }

  // Closes the socket: what is in flight completes with an error.
  void Close();

 private:
  Socket socket_;  // unused (closed) with TLS
  std::unique_ptr<TlsStream> tls_;
  std::vector<char> read_buffer_;
};

}  // namespace redis_internal
}  // namespace vel

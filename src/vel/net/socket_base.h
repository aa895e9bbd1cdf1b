// What the TCP server needs of a connection: something that takes over an
// accepted socket and can be closed. TcpTransport is the implementation; the
// server's socket factory returns one per accepted connection.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <functional>

namespace vel {

// TLS on TCP connections. TLS is not provided: kNullPtr (plain TCP) is the
// only value; put a TLS-terminating proxy in front when it is needed.
enum class TcpSSLOption { kNullPtr };

class SocketBase {
 public:
  // Called once, on an I/O thread, when the connection has ended and its
  // disconnect handler has returned.
  using ClosedCallback = std::function<void()>;

  SocketBase() = default;
  SocketBase(const SocketBase&) = delete;
  SocketBase& operator=(const SocketBase&) = delete;
  virtual ~SocketBase() = default;

  // Takes over the accepted connection `peer` and starts serving it.
  // Called by the server, once, on one of its I/O threads.
  virtual void Start(boost::asio::ip::tcp::socket&& peer,
                     ClosedCallback on_closed) = 0;

  // Closes the connection, also before Start (then Start only reports the
  // end). Idempotent; thread-safe.
  virtual void Close() = 0;
};

}  // namespace vel

// A TCP listener that hands every accepted connection to a socket made by a
// factory (normally a TcpTransport) and keeps the live ones so that Stop can
// close them.
//
// Threads: accepting, the factory and the sockets' own work run on the I/O
// group named at Create. Start, Stop, port and connection_count may be
// called from any thread; none of them waits for an I/O thread, so they are
// safe even when the group is already stopped.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "vel/net/socket_base.h"

namespace vel {

class TcpServer : public std::enable_shared_from_this<TcpServer> {
 public:
  // Makes the socket for one accepted connection. Called once per accepted
  // connection, on an I/O thread, one call at a time. Returning null refuses
  // the connection (logged).
  using SocketFactory = std::function<std::shared_ptr<SocketBase>()>;

  // A server on the I/O group `io_group_name`. Returns null (logged) when
  // the group does not exist or `socket_factory` is empty. Any thread.
  static std::shared_ptr<TcpServer> Create(const std::string& io_group_name,
                                           TcpSSLOption ssl_option,
                                           SocketFactory socket_factory);

  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;
  // Stops the server.
  ~TcpServer();

  // Listens on `bind_address`:`port` (port 0: any free port, see port();
  // an empty address: the one of set_bind_address) and starts accepting.
  // Returns false, logged, when the address cannot be bound (for example
  // the port is in use), the server already listens, or it was stopped (a
  // stopped server does not start again).
  bool Start(std::uint16_t port, const std::string& bind_address = "");

  // The address Start listens on when it is given none; "0.0.0.0" (every
  // IPv4 address) until set. Call before Start. Any thread.
  void set_bind_address(const std::string& bind_address);

  // Closes the listener and every live connection (their disconnect
  // handlers then run on the I/O threads). Connections that complete their
  // accept afterwards are closed at once. Idempotent.
  void Stop();

  // The port listened on, or 0 before a successful Start.
  std::uint16_t port() const;

  // Connections accepted and not yet ended.
  std::size_t connection_count() const;

  // Most connections open at once (0: no limit); set from the host flag
  // max_connections at Create. A connection accepted while that many are
  // open is closed at once, counted and logged once per peer address while
  // the server stays full. Any thread.
  void set_max_connections(std::size_t max_connections);

 private:
  TcpServer(std::shared_ptr<boost::asio::io_context> context,
            SocketFactory socket_factory);

  // REQUIRES: mutex_ held, the acceptor open.
  void AcceptLocked();
  void OnAccepted(const boost::system::error_code& ec,
                  boost::asio::ip::tcp::socket peer);
  void Forget(SocketBase* socket);

  // Declared first so that it outlives the acceptor and the timer.
  const std::shared_ptr<boost::asio::io_context> context_;
  const SocketFactory socket_factory_;

  mutable std::mutex mutex_;
  // Every call on acceptor_ and retry_timer_ is made with mutex_ held.
  boost::asio::ip::tcp::acceptor acceptor_;  // GUARDED_BY(mutex_)
  // Waits before accepting again after a failed accept (out of descriptors).
  boost::asio::steady_timer retry_timer_;  // GUARDED_BY(mutex_)
  std::uint16_t port_ = 0;                 // GUARDED_BY(mutex_)
  std::string bind_address_ = "0.0.0.0";   // GUARDED_BY(mutex_)
  bool stopped_ = false;                   // GUARDED_BY(mutex_)
  std::unordered_map<SocketBase*, std::shared_ptr<SocketBase>>
      connections_;                  // GUARDED_BY(mutex_)
  std::size_t max_connections_ = 0;  // GUARDED_BY(mutex_)
  // Peer addresses refused and logged since the server was last below its
  // limit; bounded so that a flood of addresses cannot grow it.
  std::unordered_set<std::string> refused_peers_;  // GUARDED_BY(mutex_)
};

}  // namespace vel

#include "vel/net/tcp_server.h"

#include <glog/logging.h>

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/metrics/metrics_registry.h"
#include "vel/net/tcp_limit_counters.h"

namespace vel {
namespace {

constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// Most peer addresses remembered as already logged for a refusal.
constexpr std::size_t kMaxRefusedPeersLogged = 1024;

std::string EndpointText(const boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return "-";
  return remote.address().to_string() + ":" + std::to_string(remote.port());
}

std::string AddressText(const boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  return ec ? "-" : remote.address().to_string();
}

}  // namespace

std::shared_ptr<TcpServer> TcpServer::Create(const std::string& io_group_name,
                                             TcpSSLOption /*ssl_option*/,
                                             SocketFactory socket_factory) {
  auto context = IoService::GetIoGroup(io_group_name);
  if (!context) {
    LOG(ERROR) << "TcpServer::Create() failed: no such I/O group"
               << ": io group=" << io_group_name;
    return nullptr;
  }
  if (!socket_factory) {
    LOG(ERROR) << "TcpServer::Create() failed: no socket factory";
    return nullptr;
  }
  // The constructor is private; make_shared cannot reach it.
  std::shared_ptr<TcpServer> server(
      new TcpServer(std::move(context), std::move(socket_factory)));
  server->set_max_connections(
      static_cast<std::size_t>(std::max(FLAGS_max_connections, 0)));
  return server;
}

TcpServer::TcpServer(std::shared_ptr<boost::asio::io_context> context,
                     SocketFactory socket_factory)
    : context_(std::move(context)),
      socket_factory_(std::move(socket_factory)),
      acceptor_(*context_),
      retry_timer_(*context_) {}

TcpServer::~TcpServer() { Stop(); }

void TcpServer::set_bind_address(const std::string& bind_address) {
  std::lock_guard<std::mutex> lock(mutex_);
  bind_address_ = bind_address;
}

bool TcpServer::Start(std::uint16_t port, const std::string& given_address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string bind_address =
      given_address.empty() ? bind_address_ : given_address;
  if (stopped_) {
    LOG(ERROR) << "TcpServer::Start() failed: the server was stopped"
               << ": port=" << port;
    return false;
  }
  if (acceptor_.is_open()) {
    LOG(ERROR) << "TcpServer::Start() failed: already listening"
               << ": port=" << port_;
    return false;
  }
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(bind_address, ec);
  if (ec) {
    LOG(ERROR) << "TcpServer::Start() failed: bad bind address: "
               << ec.message() << ": address=" << bind_address;
    return false;
  }
  const boost::asio::ip::tcp::endpoint endpoint(address, port);
  const char* step = "open";
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) {
    // Lets a restarted server bind while old connections sit in TIME_WAIT;
    // a port with a live listener still fails to bind.
    step = "set SO_REUSEADDR";
    acceptor_.set_option(boost::asio::socket_base::reuse_address(true), ec);
  }
  if (!ec) {
    step = "bind";
    acceptor_.bind(endpoint, ec);
  }
  if (!ec) {
    step = "listen";
    acceptor_.listen(boost::asio::socket_base::max_listen_connections, ec);
  }
  if (!ec) {
    step = "read the bound port";
    port_ = acceptor_.local_endpoint(ec).port();
  }
  if (ec) {
    LOG(ERROR) << "TcpServer::Start() failed: cannot " << step << ": "
               << ec.message() << ": address=" << bind_address
               << ", port=" << port;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    port_ = 0;
    return false;
  }
  AcceptLocked();
  LOG(INFO) << "TCP server listening: address=" << bind_address
            << ", port=" << port_;
  return true;
}

void TcpServer::AcceptLocked() {
  acceptor_.async_accept(
      [weak = weak_from_this()](const boost::system::error_code& ec,
                                boost::asio::ip::tcp::socket peer) {
        if (auto self = weak.lock()) self->OnAccepted(ec, std::move(peer));
      });
}

void TcpServer::OnAccepted(const boost::system::error_code& ec,
                           boost::asio::ip::tcp::socket peer) {
  if (ec) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || ec == boost::asio::error::operation_aborted) return;
    // Typically out of file descriptors: wait a little rather than spin.
    LOG(WARNING) << "TcpServer accept failed: " << ec.message()
                 << ": port=" << port_ << "; retrying shortly";
    retry_timer_.expires_after(kAcceptRetryDelay);
    retry_timer_.async_wait(
        [weak = weak_from_this()](const boost::system::error_code& wait_ec) {
          auto self = weak.lock();
          if (!self || wait_ec) return;
          std::lock_guard<std::mutex> lock(self->mutex_);
          if (!self->stopped_) self->AcceptLocked();
        });
    return;
  }

  const std::string peer_text = EndpointText(peer);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_ && max_connections_ > 0 &&
        connections_.size() >= max_connections_) {
      // Refused before the factory runs: a full server spends nothing on it.
      TcpLimitCounters::CountRefusedConnection();
      const std::string address = AddressText(peer);
      if (refused_peers_.size() < kMaxRefusedPeersLogged &&
          refused_peers_.insert(address).second) {
        LOG(WARNING) << "TcpServer refused a connection: max_connections "
                        "are open: peer="
                     << peer_text << ", max_connections=" << max_connections_;
      }
      boost::system::error_code ignored;
      peer.close(ignored);
      AcceptLocked();
      return;
    }
  }
  // Called without the lock: the factory is the caller's code.
  std::shared_ptr<SocketBase> socket = socket_factory_();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) {
      VLOG(1) << "TcpServer refused a connection after Stop: peer="
              << peer_text;
      boost::system::error_code ignored;
      peer.close(ignored);
      return;
    }
    if (socket && connections_.emplace(socket.get(), socket).second) {
      MetricsRegistry::CountTcpConnectionOpened();
    }
    AcceptLocked();
  }
  if (!socket) {
    LOG(ERROR) << "TcpServer refused a connection: the socket factory "
                  "returned no socket: peer="
               << peer_text;
    boost::system::error_code ignored;
    peer.close(ignored);
    return;
  }
  VLOG(1) << "TcpServer accepted a connection: peer=" << peer_text;
  socket->Start(std::move(peer), [weak = weak_from_this(), raw = socket.get()] {
    if (auto self = weak.lock()) self->Forget(raw);
  });
}

void TcpServer::Forget(SocketBase* socket) {
  std::shared_ptr<SocketBase> forgotten;  // released after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = connections_.find(socket);
  if (it == connections_.end()) return;
  forgotten = std::move(it->second);
  connections_.erase(it);
  MetricsRegistry::CountTcpConnectionsClosed(1);
  // Below the limit again: a peer refused later is logged again.
  if (connections_.size() < max_connections_) refused_peers_.clear();
}

void TcpServer::set_max_connections(std::size_t max_connections) {
  std::lock_guard<std::mutex> lock(mutex_);
  max_connections_ = max_connections;
}

void TcpServer::Stop() {
  std::unordered_map<SocketBase*, std::shared_ptr<SocketBase>> connections;
  std::uint16_t port;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_timer_.cancel();
    connections.swap(connections_);
    MetricsRegistry::CountTcpConnectionsClosed(connections.size());
    port = port_;
  }
  for (auto& [raw, socket] : connections) socket->Close();
  LOG(INFO) << "TCP server stopped: port=" << port
            << ", closed connections=" << connections.size();
}

std::uint16_t TcpServer::port() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return port_;
}

std::size_t TcpServer::connection_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_.size();
}

}  // namespace vel

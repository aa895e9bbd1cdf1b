#include "support/tcp_fault_proxy.h"

#include <array>
#include <functional>
#include <future>

namespace plemox_test {

namespace asio = boost::asio;
using asio::ip::tcp;

// One forwarded connection: two pumps, client to server and back.
class TcpFaultProxy::Session
    : public std::enable_shared_from_this<TcpFaultProxy::Session> {
 public:
  Session(TcpFaultProxy* proxy, tcp::socket client)
      : proxy_(proxy),
        client_(std::move(client)),
        server_(client_.get_executor()) {}

  void Start() {
    auto self = shared_from_this();
    server_.async_connect(proxy_->target_,
                          [self](boost::system::error_code ec) {
                            if (ec) {
                              self->Close();
                              return;
                            }
                            self->Read(self->upstream_);
                            self->Read(self->downstream_);
                          });
  }

  void Close() {
    boost::system::error_code ignored;
    client_.close(ignored);
    server_.close(ignored);
    proxy_->sessions_.erase(shared_from_this());
  }

  void Resume() {
    for (Pump* pump : {&upstream_, &downstream_}) {
      if (pump->held > 0) {
        const std::size_t held = pump->held;
        pump->held = 0;
        Write(*pump, held);
      }
    }
  }

 private:
  struct Pump {
    tcp::socket* from;
    tcp::socket* to;
    std::array<char, 16384> buffer{};
    std::size_t held = 0;  // bytes read but held back while stalled
  };

  void Read(Pump& pump) {
    auto self = shared_from_this();
    pump.from->async_read_some(
        asio::buffer(pump.buffer),
        [self, &pump](boost::system::error_code ec, std::size_t size) {
          if (ec) {
            self->Close();
            return;
          }
          if (self->proxy_->stalled_) {
            pump.held = size;
            return;
          }
          self->Write(pump, size);
        });
  }

  void Write(Pump& pump, std::size_t size) {
    auto self = shared_from_this();
    asio::async_write(*pump.to, asio::buffer(pump.buffer.data(), size),
                      [self, &pump](boost::system::error_code ec, std::size_t) {
                        if (ec) {
                          self->Close();
                          return;
                        }
                        self->Read(pump);
                      });
  }

  TcpFaultProxy* proxy_;
  tcp::socket client_;
  tcp::socket server_;
  Pump upstream_{&client_, &server_};
  Pump downstream_{&server_, &client_};
};

TcpFaultProxy::TcpFaultProxy(const std::string& target_host, int target_port)
    : work_(asio::make_work_guard(io_)),
      target_(asio::ip::make_address(target_host),
              static_cast<unsigned short>(target_port)) {
  Listen();
  thread_ = std::thread([this] { io_.run(); });
}

TcpFaultProxy::~TcpFaultProxy() {
  RunOnProxyThread([this] {
    CutAll();
    if (acceptor_) acceptor_->close();
    return 0;
  });
  work_.reset();
  io_.stop();
  thread_.join();
}

template <typename Task>
auto TcpFaultProxy::RunOnProxyThread(Task task) const -> decltype(task()) {
  if (thread_.get_id() == std::this_thread::get_id()) return task();
  std::packaged_task<decltype(task())()> packaged(std::move(task));
  auto result = packaged.get_future();
  asio::post(const_cast<asio::io_context&>(io_), [&packaged] { packaged(); });
  return result.get();
}

std::string TcpFaultProxy::url() const {
  return "127.0.0.1:" + std::to_string(port_);
}

void TcpFaultProxy::Listen() {
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"),
                               static_cast<unsigned short>(port_));
  acceptor_ = std::make_unique<tcp::acceptor>(io_);
  acceptor_->open(endpoint.protocol());
  acceptor_->set_option(tcp::acceptor::reuse_address(true));
  acceptor_->bind(endpoint);
  acceptor_->listen();
  port_ = acceptor_->local_endpoint().port();
  Accept();
}

void TcpFaultProxy::Accept() {
  acceptor_->async_accept(
      [this, acceptor = acceptor_.get()](boost::system::error_code ec,
                                         tcp::socket socket) {
        if (ec || acceptor != acceptor_.get()) return;  // closed or replaced
        if (closing_) {
          // The peer sees its connection end before the server greets it.
          boost::system::error_code ignored;
          socket.shutdown(tcp::socket::shutdown_both, ignored);
          socket.close(ignored);
          Accept();
          return;
        }
        ++accepted_;
        auto session = std::make_shared<Session>(this, std::move(socket));
        sessions_.insert(session);
        session->Start();
        Accept();
      });
}

void TcpFaultProxy::CutAll() {
  RunOnProxyThread([this] {
    auto sessions = sessions_;
    for (const auto& session : sessions) session->Close();
    return 0;
  });
}

void TcpFaultProxy::StopListening() {
  RunOnProxyThread([this] {
    if (acceptor_) acceptor_->close();
    acceptor_.reset();
    return 0;
  });
}

void TcpFaultProxy::StartListening() {
  RunOnProxyThread([this] {
    if (!acceptor_) Listen();
    return 0;
  });
}

void TcpFaultProxy::SetClosingNewConnections(bool closing) {
  RunOnProxyThread([this, closing] {
    closing_ = closing;
    return 0;
  });
}

void TcpFaultProxy::SetStalled(bool stalled) {
  RunOnProxyThread([this, stalled] {
    stalled_ = stalled;
    if (!stalled) {
      auto sessions = sessions_;
      for (const auto& session : sessions) session->Resume();
    }
    return 0;
  });
}

std::size_t TcpFaultProxy::accepted_count() const {
  return RunOnProxyThread([this] { return accepted_; });
}

std::size_t TcpFaultProxy::open_count() const {
  return RunOnProxyThread([this] { return sessions_.size(); });
}

}  // namespace plemox_test

#include "vel/http/api_service.h"

#include <glog/logging.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "vel/http/api_connection.h"
#include "vel/http/api_router.h"
#include "vel/http/counter.h"
#include "vel/http/internal/operations_routes.h"

namespace vel {

namespace net = boost::asio;
using tcp = boost::asio::ip::tcp;

namespace {

// Pause before accepting again after a failed accept (for example when the
// process is out of file descriptors), so the loop does not spin.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

// One running instance of the service: its threads, listener and
// connections. Created by Start(), destroyed by Stop() after its threads
// have been joined.
struct Server {
  explicit Server(int thread_count)
      : context(std::make_shared<net::io_context>(thread_count)),
        strand(net::make_strand(*context)),
        acceptor(strand),
        retry_timer(strand),
        gate(std::make_shared<ApiConnection::Gate>()) {}

  std::shared_ptr<net::io_context> context;
  net::strand<net::io_context::executor_type> strand;  // for the listener
  tcp::acceptor acceptor;                              // on `strand`
  net::steady_timer retry_timer;                       // on `strand`
  std::optional<net::executor_work_guard<net::io_context::executor_type>>
      work_guard;
  std::vector<std::thread> threads;
  std::shared_ptr<ApiConnection::Gate> gate;

  std::mutex connections_mutex;
  bool stopping = false;  // GUARDED_BY(connections_mutex)
  std::vector<std::weak_ptr<ApiConnection>>
      connections;  // GUARDED_BY(connections_mutex)
};

std::shared_ptr<ApiRouter> Router() {
  static const auto router = std::make_shared<ApiRouter>();
  return router;
}

std::mutex the_lifecycle_mutex;      // serialises Start() and Stop()
std::unique_ptr<Server> the_server;  // GUARDED_BY(the_lifecycle_mutex)
std::atomic<uint16_t> the_port{0};
std::atomic<int64_t> the_deferred_answer_timeout_ms{30000};
std::atomic<int64_t> the_read_timeout_ms{30000};
std::atomic<bool> the_component_starting{false};

void Accept(Server* server);

void OnAccept(Server* server, boost::system::error_code ec,
              tcp::socket socket) {
  if (ec == net::error::operation_aborted || !server->acceptor.is_open()) {
    return;
  }
  if (ec) {
    LOG(WARNING) << "API service accept failed: " << ec.message();
    server->retry_timer.expires_after(kAcceptRetryDelay);
    server->retry_timer.async_wait([server](boost::system::error_code ec) {
      if (!ec) Accept(server);
    });
    return;
  }
  std::shared_ptr<ApiConnection> connection;
  {
    std::lock_guard<std::mutex> lock(server->connections_mutex);
    if (server->stopping) return;  // the socket closes as it goes
    auto& list = server->connections;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::weak_ptr<ApiConnection>& c) {
                                return c.expired();
                              }),
               list.end());
    ApiConnection::Options options;
    options.read_timeout =
        std::chrono::milliseconds(the_read_timeout_ms.load());
    options.deferred_answer_timeout =
        std::chrono::milliseconds(the_deferred_answer_timeout_ms.load());
    connection = std::make_shared<ApiConnection>(
        server->context, std::move(socket), Router(), server->gate, options);
    list.push_back(connection);
  }
  connection->Start();
  Accept(server);
}

void Accept(Server* server) {
  server->acceptor.async_accept(
      net::make_strand(*server->context),
      [server](boost::system::error_code ec, tcp::socket socket) {
        OnAccept(server, ec, std::move(socket));
      });
}

bool Listen(Server* server, const std::string& bind_address, uint16_t port) {
  boost::system::error_code ec;
  tcp::resolver resolver(*server->context);
  auto results = resolver.resolve(
      bind_address, std::to_string(port),
      tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec || results.empty()) {
    LOG(ERROR) << "API service cannot resolve its bind address: address="
               << bind_address << ", error=" << ec.message();
    return false;
  }
  const tcp::endpoint endpoint = results.begin()->endpoint();
  auto fail = [&](const char* step) {
    LOG(ERROR) << "API service cannot " << step << ": address=" << bind_address
               << ", port=" << port << ", error=" << ec.message();
    return false;
  };
  if (server->acceptor.open(endpoint.protocol(), ec)) return fail("open");
  if (server->acceptor.set_option(net::socket_base::reuse_address(true), ec)) {
    return fail("set SO_REUSEADDR");
  }
  if (server->acceptor.bind(endpoint, ec)) return fail("bind");
  if (server->acceptor.listen(net::socket_base::max_listen_connections, ec)) {
    return fail("listen");
  }
  return true;
}

bool IsApiThread(const Server& server) {
  const auto self = std::this_thread::get_id();
  for (const auto& thread : server.threads) {
    if (thread.get_id() == self) return true;
  }
  return false;
}

}  // namespace

void ApiService::RegisterHandler(int methods, const boost::regex& path,
                                 Handler handler, Access access) {
  Router()->Add(methods, path, std::move(handler), nullptr,
                access == Access::kOpen);
}

void ApiService::RegisterHandler3(int methods, const boost::regex& path,
                                  Handler3 handler, Access access) {
  Router()->Add(methods, path, nullptr, std::move(handler),
                access == Access::kOpen);
}

bool ApiService::Start(const std::string& bind_address, uint16_t port,
                       int thread_count) {
  std::lock_guard<std::mutex> lock(the_lifecycle_mutex);
  if (the_server) {
    LOG(ERROR) << "API service already runs on port " << the_port.load();
    return false;
  }
  if (thread_count < 1) {
    LOG(ERROR) << "API service needs at least one thread: thread_count="
               << thread_count;
    return false;
  }
  auto server = std::make_unique<Server>(thread_count);
  if (!Listen(server.get(), bind_address, port)) return false;
  boost::system::error_code ec;
  const uint16_t bound_port = server->acceptor.local_endpoint(ec).port();
  InstallCounterRoutes();
  InstallOperationsRoutes();
  server->work_guard.emplace(server->context->get_executor());
  Server* raw = server.get();
  net::post(raw->strand, [raw] { Accept(raw); });
  for (int i = 0; i < thread_count; ++i) {
    raw->threads.emplace_back([context = raw->context] {
      // Handlers catch their own exceptions; this keeps a thread serving if
      // something else slips through.
      for (;;) {
        try {
          context->run();
          return;
        } catch (const std::exception& e) {
          LOG(ERROR) << "Unhandled exception on an API thread: " << e.what();
        }
      }
    });
  }
  the_port = bound_port;
  the_server = std::move(server);
  LOG(INFO) << "API service listening: address=" << bind_address
            << ", port=" << bound_port << ", threads=" << thread_count;
  return true;
}

void ApiService::Stop() {
  std::lock_guard<std::mutex> lock(the_lifecycle_mutex);
  if (!the_server) return;
  if (IsApiThread(*the_server)) {
    LOG(ERROR) << "ApiService::Stop() called on an API thread; refused (it "
                  "would wait for itself)";
    return;
  }
  std::unique_ptr<Server> server = std::move(the_server);
  {
    std::lock_guard<std::mutex> gate_lock(server->gate->mutex);
    server->gate->open = false;
  }
  std::vector<std::shared_ptr<ApiConnection>> connections;
  {
    std::lock_guard<std::mutex> connections_lock(server->connections_mutex);
    server->stopping = true;
    for (const auto& weak : server->connections) {
      if (auto connection = weak.lock()) connections.push_back(connection);
    }
    server->connections.clear();
  }
  Server* raw = server.get();
  net::post(raw->strand, [raw] {
    boost::system::error_code ignored;
    raw->acceptor.close(ignored);
    raw->retry_timer.cancel();
  });
  for (const auto& connection : connections) connection->Close();
  connections.clear();
  // With the listener and every connection closed the threads run out of
  // work and return.
  server->work_guard.reset();
  for (auto& thread : server->threads) thread.join();
  the_port = 0;
  Router()->Clear();
  ForgetCallableCounters();
  server.reset();
  LOG(INFO) << "API service stopped";
}

uint16_t ApiService::port() { return the_port.load(); }

void ApiService::SetComponentStarting(bool starting) {
  the_component_starting = starting;
}

bool ApiService::component_starting() { return the_component_starting.load(); }

void ApiService::SetDeferredAnswerTimeout(std::chrono::milliseconds timeout) {
  the_deferred_answer_timeout_ms = timeout.count();
}

void ApiService::SetReadTimeout(std::chrono::milliseconds timeout) {
  the_read_timeout_ms = timeout.count();
}

}  // namespace vel

// TcpFaultProxy: a TCP forwarder on 127.0.0.1 between a client under test
// and a real server, which injects the network faults a real server cannot
// produce on demand: all connections cut, connections refused or closed at
// once, traffic stalled. Test-only; its methods may be called from any test
// thread and return once the fault is in place.
#pragma once

#include <boost/asio.hpp>
#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace plemox_test {

class TcpFaultProxy {
 public:
  // Starts listening on a free port of 127.0.0.1 and forwarding every
  // accepted connection to target_host:target_port.
  TcpFaultProxy(const std::string& target_host, int target_port);
  ~TcpFaultProxy();
  TcpFaultProxy(const TcpFaultProxy&) = delete;
  TcpFaultProxy& operator=(const TcpFaultProxy&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:<port>".
  std::string url() const;

  // Closes every forwarded connection on both sides; keeps listening.
  void CutAll();
  // Stops / resumes accepting on the same port (a stopped proxy refuses).
  void StopListening();
  void StartListening();
  // While set, every new connection is closed as soon as it is accepted:
  // a server that is down, without giving up the port (a port the proxy
  // released can be taken meanwhile, even by a client's own connect).
  void SetClosingNewConnections(bool closing);
  // While stalled, bytes are read but held back in both directions;
  // resuming sends what was held.
  void SetStalled(bool stalled);

  // Connections accepted so far, and currently forwarded.
  std::size_t accepted_count() const;
  std::size_t open_count() const;

 private:
  class Session;

  // Runs `task` on the proxy's thread and waits for it.
  template <typename Task>
  auto RunOnProxyThread(Task task) const -> decltype(task());
  void Listen();
  void Accept();

  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type>
      work_;
  boost::asio::ip::tcp::endpoint target_;
  int port_ = 0;
  // Touched only on the proxy thread.
  std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor_;
  std::set<std::shared_ptr<Session>> sessions_;
  std::size_t accepted_ = 0;
  bool stalled_ = false;
  bool closing_ = false;
  std::thread thread_;
};

}  // namespace plemox_test

// A minimal component for the host's own tests: it serves a counter, an
// echo over TCP, and reacts to its manifest arguments.
#include <glog/logging.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "vel/core/argument_map.h"
#include "vel/core/engine.h"
#include "vel/http/counter.h"
#include "vel/net/tcp_server.h"
#include "vel/net/tcp_transport.h"

namespace {

std::shared_ptr<vel::TcpServer> the_echo_server;

std::shared_ptr<vel::SocketBase> CreateEchoConnection() {
  auto transport =
      vel::TcpTransport::Create("default", vel::TcpSSLOption::kNullPtr,
                                vel::TransportCompressor::kNullPtr, true);
  if (!transport) return nullptr;
  transport->set_receive_handler(
      [](const std::shared_ptr<vel::Transport>& t,
         const vel::Transport::HeaderMap&,
         const vel::Buffer& body) { t->Send(body, 100); });
  return transport->ToSocketBase();
}

}  // namespace

extern "C" {

bool TestComponent_install(const vel::ArgumentMap& arguments) {
  const vel::Json mode = arguments.FindArrayArgument("mode");
  const std::string first =
      mode.IsArray() && mode.Size() > 0 && mode[0].IsString()
          ? mode[0].GetString()
          : "";
  if (first == "fail") {
    LOG(ERROR) << "Test component refuses to install";
    return false;
  }
  // "hold": the install waits (at most a minute) until the file named by
  // "release_file" exists, so that a test sees the host while it installs.
  const vel::Json release = arguments.FindArrayArgument("release_file");
  if (first == "hold" && release.IsArray() && release.Size() == 1 &&
      release[0].IsString()) {
    LOG(INFO) << "Test component holds its install";
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!std::filesystem::exists(release[0].GetString()) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  vel::RegisterCallableCounter("test", "answer", "a fixed value",
                               [](vel::Json* out) {
                                 *out = vel::Json(42);
                                 return 200;
                               });
  const vel::Json port = arguments.FindArrayArgument("echo_port");
  if (port.IsArray() && port.Size() == 1 && port[0].IsInt()) {
    the_echo_server = vel::TcpServer::Create(
        "default", vel::TcpSSLOption::kNullPtr, &CreateEchoConnection);
    if (!the_echo_server ||
        !the_echo_server->Start(static_cast<std::uint16_t>(port[0].GetInt()))) {
      return false;
    }
  }
  LOG(INFO) << "Test component installed";
  if (first == "quit") vel::SetToShutDownEngine();
  return true;
}

bool TestComponent_uninstall() {
  if (the_echo_server) the_echo_server->Stop();
  the_echo_server.reset();
  LOG(INFO) << "Test component uninstalled";
  return true;
}

}  // extern "C"

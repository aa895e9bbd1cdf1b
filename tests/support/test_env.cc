#include "support/test_env.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace plemox_test {
namespace {

std::string Required(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    // Fatal on purpose: skipping silently would hide a missing server.
    ADD_FAILURE() << "Environment variable " << name
                  << " is not set; run the tests through scripts/test.sh "
                     "(it starts Redis and MariaDB and sets it)";
    throw std::runtime_error(std::string("missing ") + name);
  }
  return value;
}

}  // namespace

std::string RedisHost() { return Required("PLEMOX_REDIS_HOST"); }
int RedisPort() { return std::stoi(Required("PLEMOX_REDIS_PORT")); }
std::string RedisClusterNodes() {
  return Required("PLEMOX_REDIS_CLUSTER_NODES");
}
int RedisClusterPort() {
  return std::stoi(Required("PLEMOX_REDIS_CLUSTER_PORT"));
}
std::string MysqlHost() { return Required("PLEMOX_MYSQL_HOST"); }
int MysqlPort() { return std::stoi(Required("PLEMOX_MYSQL_PORT")); }
std::string MysqlSocket() { return Required("PLEMOX_MYSQL_SOCKET"); }
std::string MysqlDatabase() { return Required("PLEMOX_MYSQL_DB"); }
std::string MysqlUser() { return Required("PLEMOX_MYSQL_USER"); }
std::string MysqlPassword() { return Required("PLEMOX_MYSQL_PASSWORD"); }
std::string MysqlUrl() {
  return MysqlHost() + ":" + std::to_string(MysqlPort());
}

std::string BinaryDir() { return PLEMOX_BINARY_DIR "/bin"; }
std::string LibraryDir() { return PLEMOX_BINARY_DIR "/lib"; }
std::string SourceDir() { return PLEMOX_SOURCE_DIR; }

bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void NextMillisecond() {
  const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now());
  ASSERT_TRUE(WaitFor(
      [&] {
        return std::chrono::system_clock::now() >=
               now + std::chrono::milliseconds(1);
      },
      std::chrono::seconds(1)));
}

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

bool AcceptsConnections(int port) {
  boost::asio::io_context context;
  boost::asio::ip::tcp::socket socket(context);
  boost::system::error_code error;
  socket.connect({boost::asio::ip::address_v4::loopback(),
                  static_cast<unsigned short>(port)},
                 error);
  return !error;
}

}  // namespace plemox_test

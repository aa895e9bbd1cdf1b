// The host executable with a small test component: loading from a manifest,
// serving, and every way of ending a run.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "support/host_process.h"
#include "support/http_get.h"
#include "support/temp_file.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

HostProcess::Options TestComponent(const std::string& arguments) {
  auto options = HostProcess::Options::WithArguments(arguments);
  options.library = "libhost_test_component.so";
  options.name = "TestComponent";
  options.leaderboard_flags = false;
  return options;
}

TEST(HostTest, LoadsServesAndStopsOnSigterm) {
  const int echo_port = FreePort();
  HostProcess host(
      TestComponent("\"echo_port\": [" + std::to_string(echo_port) + "]"));
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForLog("The host is running")) << host.Log();
  EXPECT_NE(host.Log().find("Test component installed"), std::string::npos);

  const auto counter =
      HttpRequest(host.api_port(), "GET", "/v1/counters/test/answer/");
  EXPECT_EQ(counter.status, 200);
  EXPECT_EQ(counter.body, "42");

  // A framed echo through the host's TCP server and transports.
  boost::asio::io_context context;
  boost::asio::ip::tcp::socket socket(context);
  socket.connect({boost::asio::ip::address_v4::loopback(),
                  static_cast<unsigned short>(echo_port)});
  const std::string frame("\0\0\0\5hello", 9);
  boost::asio::write(socket, boost::asio::buffer(frame));
  std::string echoed(9, '\0');
  boost::asio::read(socket, boost::asio::buffer(echoed.data(), echoed.size()));
  EXPECT_EQ(echoed, frame);

  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0) << host.Log();
  EXPECT_NE(host.Log().find("Test component uninstalled"), std::string::npos);
  EXPECT_NE(host.Log().find("Shutdown complete"), std::string::npos);
}

// While the component installs, its routes are not all there: a path no
// route takes is "come back", not "no such route"; afterwards it is 404.
TEST(HostTest, RoutesAnswerStartingUntilTheComponentIsInstalled) {
  TempFile release("release");
  HostProcess host(TestComponent(R"("mode": ["hold"], "release_file": [")" +
                                 release.path() + "\"]"));
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForLog("Test component holds its install"))
      << host.Log();
  const auto early = HttpRequest(host.api_port(), "GET", "/v1/nothing/");
  EXPECT_EQ(early.status, 503) << early.body;
  EXPECT_NE(early.body.find("starting"), std::string::npos) << early.body;
  EXPECT_EQ(HttpRequest(host.api_port(), "GET", "/healthz").status, 200);

  release.Write("");
  ASSERT_TRUE(host.WaitForLog("The host is running")) << host.Log();
  EXPECT_EQ(
      HttpRequest(host.api_port(), "GET", "/v1/counters/test/answer/").status,
      200);
  EXPECT_EQ(HttpRequest(host.api_port(), "GET", "/v1/nothing/").status, 404);
  EXPECT_EQ(ExitCode(host.Stop(SIGTERM)), 0) << host.Log();
}

TEST(HostTest, SigintStopsToo) {
  HostProcess host(TestComponent(""));
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(host.WaitForLog("The host is running")) << host.Log();
  EXPECT_EQ(ExitCode(host.Stop(SIGINT)), 0) << host.Log();
}

TEST(HostTest, ComponentCanEndTheRun) {
  HostProcess host(TestComponent(R"("mode": ["quit"])"));
  ASSERT_TRUE(host.Start());
  EXPECT_EQ(ExitCode(host.WaitForExit()), 0) << host.Log();
  EXPECT_NE(host.Log().find("Test component uninstalled"), std::string::npos);
}

TEST(HostTest, FailuresToSetUpEndWithExitCodeOne) {
  {
    HostProcess host(TestComponent(R"("mode": ["fail"])"));
    ASSERT_TRUE(host.Start());
    EXPECT_EQ(ExitCode(host.WaitForExit()), 1) << host.Log();
    EXPECT_NE(host.Log().find("The component TestComponent failed to install"),
              std::string::npos)
        << host.Log();
  }
  {
    auto options = TestComponent("");
    options.name = "Missing";  // No Missing_install in the library.
    HostProcess host(options);
    ASSERT_TRUE(host.Start());
    EXPECT_EQ(ExitCode(host.WaitForExit()), 1) << host.Log();
    EXPECT_NE(host.Log().find("does not export Missing_install"),
              std::string::npos)
        << host.Log();
  }
  {
    auto options = TestComponent("");
    options.library = "libno_such_component.so";
    HostProcess host(options);
    ASSERT_TRUE(host.Start());
    EXPECT_EQ(ExitCode(host.WaitForExit()), 1) << host.Log();
    EXPECT_NE(host.Log().find("Failed to load the component"),
              std::string::npos);
  }
  {
    // The API port is taken by another listener.
    auto options = TestComponent("");
    HostProcess first(options);
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(first.WaitForLog("The host is running"));
    options.flags = {"--api_port=" + std::to_string(first.api_port())};
    HostProcess second(options);
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(ExitCode(second.WaitForExit()), 1);
    EXPECT_NE(second.Log().find("Failed to start the HTTP API"),
              std::string::npos);
    EXPECT_EQ(ExitCode(first.Stop(SIGTERM)), 0);
  }
  {
    // An API token too short to be safe.
    auto options = TestComponent("");
    options.flags = {"--api_token=short"};
    HostProcess host(options);
    ASSERT_TRUE(host.Start());
    EXPECT_EQ(ExitCode(host.WaitForExit()), 1) << host.Log();
    EXPECT_NE(host.Log().find("HTTP API token refused: the API token must "
                              "have at least 16 characters"),
              std::string::npos)
        << host.Log();
  }
}

}  // namespace
}  // namespace plemox_test

#include "support/running_server.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <utility>

namespace plemox_test {

RunningServer::RunningServer(HostProcess::Options options,
                             const std::string& app_id)
    : host_(std::make_unique<HostProcess>(std::move(options))) {
  EXPECT_TRUE(host_->Start());
  // Installed, not only listening: the HTTP routes come after the game port.
  EXPECT_TRUE(host_->WaitForLog("The host is running")) << host_->Log();
  EXPECT_TRUE(client_.Connect("127.0.0.1", host_->tcp_port()))
      << client_.LastError();
  EXPECT_TRUE(client_.Authenticate(app_id).ok());
}

RunningServer::~RunningServer() {
  if (!stopped_) Stop();
}

void RunningServer::Stop() {
  stopped_ = true;
  client_.Close();
  EXPECT_EQ(ExitCode(host_->Stop(SIGTERM)), 0) << host_->Log();
}

}  // namespace plemox_test

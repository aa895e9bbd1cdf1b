// Sessions and dispatch through the real host: authentication, the request
// gate, and messages that get no answer but leave the connection usable.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "client/leaderboard_client.h"
#include "support/host_process.h"
#include "support/test_env.h"

namespace plemox_test {
namespace {

using plemox::LeaderboardClient;
using std::chrono::milliseconds;

class SessionTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    HostProcess::Options options;
    options.arguments_json = R"(
      "leaderboard_ids": ["stage1", "event"],
      "reset_schedules": [
        {"leaderboard_id": "stage1", "period": "day", "interval": 1,
         "starts": "2021-02-08 05:00:00", "ends": "2099-12-31 23:59:59"},
        {"leaderboard_id": "event", "period": "week", "interval": 2,
         "starts": "2021-02-01 00:00:00", "ends": "2030-01-01 00:00:00"}])";
    host_ = std::make_unique<HostProcess>(options);
    ASSERT_TRUE(host_->Start());
    ASSERT_TRUE(host_->WaitForPort(host_->tcp_port())) << host_->Log();
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(ExitCode(host_->Stop(SIGTERM)), 0) << host_->Log();
    host_.reset();
  }

  void SetUp() override {
    ASSERT_TRUE(client_.Connect("127.0.0.1", host_->tcp_port()))
        << client_.LastError();
  }

  static Leaderboard::Request WithType(int type) {
    Leaderboard::Request request;
    request.set_request_uuid(LeaderboardClient::NewRequestUuid());
    request.set_type(type);
    return request;
  }

  static std::unique_ptr<HostProcess> host_;
  LeaderboardClient client_;
};
std::unique_ptr<HostProcess> SessionTest::host_;

TEST_F(SessionTest, AuthenticationListsSchedulesAndHappensOnce) {
  const auto first = client_.Authenticate("game-server-1");
  ASSERT_TRUE(first.answered()) << first.error;
  ASSERT_TRUE(first.response.has_leaderboard_authentication());
  const auto& auth = first.response.leaderboard_authentication();
  EXPECT_EQ(auth.result(),
            Leaderboard::LeaderboardAuthentication::Response::kSuccess);
  ASSERT_EQ(auth.reset_schedules_size(), 2);
  // Registry order: by leaderboard key ("event_week" < "stage1_day").
  EXPECT_EQ(auth.reset_schedules(0).leaderboard_id(), "event");
  EXPECT_EQ(auth.reset_schedules(0).period(), 1);
  EXPECT_EQ(auth.reset_schedules(0).interval(), 2);
  EXPECT_EQ(auth.reset_schedules(0).starts(), "20210201T000000");
  EXPECT_EQ(auth.reset_schedules(0).ends(), "20300101T000000");
  EXPECT_EQ(auth.reset_schedules(1).leaderboard_id(), "stage1");
  EXPECT_EQ(auth.reset_schedules(1).period(), 0);
  EXPECT_EQ(auth.reset_schedules(1).starts(), "20210208T050000");

  const auto second = client_.Authenticate("game-server-2");
  ASSERT_TRUE(second.answered()) << second.error;
  EXPECT_EQ(second.response.leaderboard_authentication().result(),
            Leaderboard::LeaderboardAuthentication::Response::
                kFailAlreadyAuthenticated);
  EXPECT_EQ(second.response.leaderboard_authentication().message(),
            "The session is already authenticated");
  EXPECT_EQ(second.response.request_uuid().size(), 16u);
  // The session keeps the first app id.
  EXPECT_TRUE(
      host_->WaitForLog("Succeed to authenticate the session: "
                        "session=game-server-1-kAuthenticated"));
}

TEST_F(SessionTest, RequestsBeforeAuthenticationAreRefused) {
  Leaderboard::AccountId account;
  account.set_service_provider("guest");
  account.set_local_account("p1");
  const auto submission = client_.SubmitScore(
      "stage1", account, 10, Leaderboard::ScoreSubmission::kHighScore);
  ASSERT_TRUE(submission.answered()) << submission.error;
  ASSERT_TRUE(submission.response.has_fail());
  EXPECT_EQ(submission.response.fail().code(),
            Leaderboard::Response::kFailUnauthenticatedApp);
  EXPECT_EQ(submission.response.fail().message(),
            "Access denied, authentication required");

  const auto reset = client_.RequestReset("stage1");
  ASSERT_TRUE(reset.answered());
  EXPECT_EQ(reset.response.fail().code(),
            Leaderboard::Response::kFailUnauthenticatedApp);

  // The connection still authenticates afterwards.
  EXPECT_TRUE(client_.Authenticate("late").ok());
}

TEST_F(SessionTest, UnanswerableMessagesLeaveTheConnectionUsable) {
  // Unknown request types (5 among them), an empty body, a request without
  // a type or UUID, and bytes that are no message get no answer.
  for (int type : {5, 0, 99, -1}) {
    const auto result = client_.Send(WithType(type), milliseconds(300));
    EXPECT_TRUE(result.timed_out()) << "type " << type;
  }
  Leaderboard::Request no_type;
  no_type.set_request_uuid(LeaderboardClient::NewRequestUuid());
  EXPECT_TRUE(client_.Send(no_type, milliseconds(300)).timed_out());
  Leaderboard::Request no_uuid;
  no_uuid.set_type(Leaderboard::Request::kLeaderboardAuthentication);
  EXPECT_TRUE(client_.SendRawBytes(std::string("\0\0\0\0", 4)));
  EXPECT_TRUE(client_.SendRawBytes(std::string("\0\0\0\3\xff\xff\xff", 7)));
  EXPECT_TRUE(client_.Send(no_uuid, milliseconds(300)).timed_out());

  EXPECT_TRUE(host_->WaitForLog("Invalid request type found: 5"));
  EXPECT_TRUE(host_->WaitForLog("Failed to parse the received message: 3"));
  EXPECT_TRUE(host_->WaitForLog(
      "Missing required parameter, no request type. This can cause when your "
      "Leaderboard is not compatible with the Ruvo engine. Please upgrade "
      "your Leaderboard."));
  EXPECT_TRUE(host_->WaitForLog("Missing required parameter, no request uuid"));

  ASSERT_TRUE(client_.IsConnected());
  EXPECT_TRUE(client_.Authenticate("still-here").ok());
}

TEST_F(SessionTest, OversizedFrameClosesOnlyThatConnection) {
  LeaderboardClient other;
  ASSERT_TRUE(other.Connect("127.0.0.1", host_->tcp_port()));
  ASSERT_TRUE(other.Authenticate("other").ok());
  // A header announcing 2 MiB, beyond the 1 MiB default limit.
  ASSERT_TRUE(client_.SendRawBytes(std::string("\0\x20\0\0", 4)));
  EXPECT_TRUE(WaitFor([&] { return !client_.IsConnected(); }));
  EXPECT_TRUE(other.IsConnected());
  EXPECT_TRUE(other.Send(WithType(5), milliseconds(100)).timed_out());
  EXPECT_TRUE(other.IsConnected());
}

TEST_F(SessionTest, ManySessionsAuthenticateConcurrently) {
  constexpr int kClients = 20;
  std::vector<std::unique_ptr<LeaderboardClient>> clients;
  std::atomic<int> succeeded{0};
  std::atomic<int> ended{0};
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<LeaderboardClient>());
    ASSERT_TRUE(clients.back()->Connect("127.0.0.1", host_->tcp_port()));
    // Two authentications at once on each connection: exactly one wins.
    for (int j = 0; j < 2; ++j) {
      clients.back()->AuthenticateAsync("c" + std::to_string(i),
                                        [&](LeaderboardClient::Result result) {
                                          if (result.ok()) ++succeeded;
                                          ++ended;
                                        });
    }
  }
  ASSERT_TRUE(WaitFor([&] { return ended == 2 * kClients; }));
  EXPECT_EQ(succeeded, kClients);
}

}  // namespace
}  // namespace plemox_test

// Session state: authentication happens once even when two requests race,
// and the printed form used in log lines.
#include "leaderboard/service/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "leaderboard/service/session_registry.h"

namespace plemox {
namespace {

TEST(ClientSessionTest, PrintedFormAndStates) {
  ClientSession session(nullptr);
  EXPECT_EQ(session.ToString(), "-kUnknown");
  session.set_state(ClientSession::kCreated);
  EXPECT_EQ(session.ToString(), "-kCreated");
  EXPECT_EQ(session.Authenticate("game1"), ClientSession::kCreated);
  EXPECT_EQ(session.ToString(), "game1-kAuthenticated");
  // A second authentication changes nothing.
  EXPECT_EQ(session.Authenticate("game2"), ClientSession::kAuthenticated);
  EXPECT_EQ(session.app_id(), "game1");
}

TEST(ClientSessionTest, UnknownStateCannotAuthenticate) {
  ClientSession session(nullptr);
  EXPECT_EQ(session.Authenticate("game1"), ClientSession::kUnknown);
  EXPECT_EQ(session.state(), ClientSession::kUnknown);
  EXPECT_EQ(session.app_id(), "");
}

TEST(ClientSessionTest, ConcurrentAuthenticationsHaveOneWinner) {
  for (int round = 0; round < 50; ++round) {
    ClientSession session(nullptr);
    session.set_state(ClientSession::kCreated);
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] {
        if (session.Authenticate("t" + std::to_string(i)) ==
            ClientSession::kCreated) {
          ++winners;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(winners, 1);
    EXPECT_EQ(session.state(), ClientSession::kAuthenticated);
  }
}

TEST(ClientSessionTest, SendToAClosedConnectionIsDropped) {
  ClientSession session(nullptr);
  Leaderboard::Response response;
  session.Send(response);  // Must neither crash nor throw.
  SUCCEED();
}

TEST(SessionRegistryTest, OneSessionPerTransportUntilRemoved) {
  // Registry keys are only compared by identity: any shared owner serves.
  auto owner = std::make_shared<int>(0);
  std::shared_ptr<vel::Transport> transport(owner, nullptr);
  auto other_owner = std::make_shared<int>(1);
  std::shared_ptr<vel::Transport> other(other_owner, nullptr);

  const auto before = SessionRegistry::Size();
  auto session = SessionRegistry::GetOrCreate(transport);
  EXPECT_EQ(session->state(), ClientSession::kCreated);
  EXPECT_EQ(SessionRegistry::GetOrCreate(transport), session);
  EXPECT_NE(SessionRegistry::GetOrCreate(other), session);
  EXPECT_EQ(SessionRegistry::Size(), before + 2);
  EXPECT_EQ(SessionRegistry::Remove(transport), session);
  EXPECT_EQ(SessionRegistry::Remove(transport), nullptr);
  EXPECT_NE(SessionRegistry::Remove(other), nullptr);
  EXPECT_EQ(SessionRegistry::Size(), before);
}

}  // namespace
}  // namespace plemox

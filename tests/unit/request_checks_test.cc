// The request checks that run before the ranking cache: the envelope of a
// received body, and the field checks of submissions and deletions. A
// refusal is answered exactly once with the request's UUID; what passes is
// not answered by the checks.
#include "leaderboard/service/internal/request_checks.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "leaderboard/service/leaderboard_service.h"
#include "vel/core/util.h"

namespace plemox {
namespace {

class CapturingTransport : public vel::Transport {
 public:
  bool Send(vel::Buffer body, int) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(body.ToString());
    return true;
  }
  void Close() override {}
  bool IsOpen() const override { return true; }
  std::string peer() const override { return "test:1"; }
  std::vector<Leaderboard::Response> Responses() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Leaderboard::Response> out(sent_.size());
    for (std::size_t i = 0; i < sent_.size(); ++i) {
      EXPECT_TRUE(out[i].ParseFromString(sent_[i]));
    }
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> sent_;
};

class RequestChecksTest : public testing::Test {
 protected:
  void SetUp() override {
    // Any leaderboard id is accepted, as with stored procedures.
    FLAGS_leaderboard_use_db_stored_procedure = true;
    session_->set_state(ClientSession::kCreated);
    session_->Authenticate("game");
  }
  void TearDown() override {
    FLAGS_leaderboard_use_db_stored_procedure = false;
  }

  // The one refusal sent so far: kFailInvalidParameter for uuid_.
  void ExpectOneRefusal() {
    const auto responses = transport_->Responses();
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].request_uuid(), vel::util::ToBytes(uuid_));
    EXPECT_EQ(responses[0].fail().code(),
              Leaderboard::Response::kFailInvalidParameter);
    EXPECT_FALSE(responses[0].fail().message().empty());
  }

  std::shared_ptr<CapturingTransport> transport_ =
      std::make_shared<CapturingTransport>();
  std::shared_ptr<ClientSession> session_ =
      std::make_shared<ClientSession>(transport_);
  const LeaderboardService::Uuid uuid_ =
      vel::util::FromBytes("0123456789abcdef");
};

TEST_F(RequestChecksTest, EnvelopeNeedsAParsableBodyUuidAndType) {
  Leaderboard::Request request;
  LeaderboardService::Uuid uuid{};
  EXPECT_FALSE(service_internal::ParseRequest(vel::Buffer("\xff\xff", 2),
                                              &request, &uuid));
  Leaderboard::Request sent;
  sent.set_type(Leaderboard::Request::kLeaderboardQuery);
  EXPECT_FALSE(
      service_internal::ParseRequest(vel::Buffer(sent), &request, &uuid));
  sent.clear_type();
  sent.set_request_uuid("0123456789abcdef");
  EXPECT_FALSE(
      service_internal::ParseRequest(vel::Buffer(sent), &request, &uuid));
  sent.set_type(5);
  ASSERT_TRUE(
      service_internal::ParseRequest(vel::Buffer(sent), &request, &uuid));
  EXPECT_EQ(uuid, uuid_);
  EXPECT_EQ(request.type(), 5);
  // A short UUID is padded, never read past its end.
  sent.set_request_uuid("ab");
  ASSERT_TRUE(
      service_internal::ParseRequest(vel::Buffer(sent), &request, &uuid));
  EXPECT_EQ(vel::util::ToBytes(uuid), std::string("ab") + std::string(14, 0));
}

TEST_F(RequestChecksTest, SubmissionPassesOnlyWithStorableFields) {
  Leaderboard::ScoreSubmission::Request submission;
  submission.set_leaderboard_id("stage1");
  submission.mutable_account_id()->set_service_provider("guest");
  submission.mutable_account_id()->set_local_account("player42");
  submission.set_score(12.5);
  submission.set_type(Leaderboard::ScoreSubmission::kHighScore);
  EXPECT_TRUE(
      service_internal::CheckScoreSubmission(session_, uuid_, submission));
  EXPECT_TRUE(transport_->Responses().empty());

  const auto refused = [&](auto change) {
    Leaderboard::ScoreSubmission::Request bad = submission;
    change(&bad);
    auto transport = std::make_shared<CapturingTransport>();
    transport_.swap(transport);
    session_ = std::make_shared<ClientSession>(transport_);
    const bool passed =
        service_internal::CheckScoreSubmission(session_, uuid_, bad);
    EXPECT_FALSE(passed) << bad.ShortDebugString();
    ExpectOneRefusal();
  };
  refused([](auto* r) { r->clear_type(); });
  refused([](auto* r) { r->mutable_account_id()->clear_local_account(); });
  refused([](auto* r) { r->set_leaderboard_id("stage-1"); });
  refused([](auto* r) { r->set_score(std::nan("")); });
  refused([](auto* r) { r->mutable_account_id()->set_local_account("a:b"); });
  refused([](auto* r) {
    r->mutable_account_id()->set_service_provider(std::string(51, 'x'));
  });
  // Without stored procedures only configured ids pass; none is configured.
  FLAGS_leaderboard_use_db_stored_procedure = false;
  refused([](auto*) {});
}

TEST_F(RequestChecksTest, DeletionBatchIsRefusedWholeByOneBadDeletion) {
  google::protobuf::RepeatedPtrField<Leaderboard::ScoreDeletion::Request>
      deletions;
  EXPECT_FALSE(
      service_internal::CheckScoreDeletions(session_, uuid_, deletions));
  ExpectOneRefusal();

  transport_ = std::make_shared<CapturingTransport>();
  session_ = std::make_shared<ClientSession>(transport_);
  auto* good = deletions.Add();
  good->set_leaderboard_id("stage1");
  good->mutable_account_id()->set_service_provider("guest");
  good->mutable_account_id()->set_local_account("player42");
  EXPECT_TRUE(
      service_internal::CheckScoreDeletions(session_, uuid_, deletions));
  EXPECT_TRUE(transport_->Responses().empty());

  *deletions.Add() = *good;
  deletions.Mutable(1)->set_leaderboard_id("stage1;DROP");
  EXPECT_FALSE(
      service_internal::CheckScoreDeletions(session_, uuid_, deletions));
  ExpectOneRefusal();
}

}  // namespace
}  // namespace plemox

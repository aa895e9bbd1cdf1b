#include "client/leaderboard_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "client/frame_codec.h"
#include "client/protocol_names.h"
#include "client/query_builder.h"
#include "support/test_env.h"

namespace plemox {
namespace {

using boost::asio::ip::tcp;
using Leaderboard::Request;
using Leaderboard::Response;
using plemox_test::WaitFor;
using Status = LeaderboardClient::Status;

// The server end of the test: accepts connections on 127.0.0.1, decodes the
// request frames, records them and hands each to a handler (on the peer's
// own thread). Writes are done by that thread one after the other, so frames
// never interleave.
class TestPeer {
 public:
  using Handler = std::function<void(const Request&)>;

  TestPeer()
      : acceptor_(io_,
                  tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)),
        work_(boost::asio::make_work_guard(io_)) {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }

  ~TestPeer() {
    boost::asio::post(io_, [this] {
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      if (socket_) socket_->close(ignored);
    });
    work_.reset();
    thread_.join();
  }

  uint16_t port() const { return acceptor_.local_endpoint().port(); }

  void set_handler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
  }

  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  size_t request_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
  }
  std::string raw_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
  }
  bool saw_close() const { return saw_close_.load(); }
  // Connections accepted so far. The client's Connect returns once the
  // handshake is done, possibly before the peer has taken the connection.
  int accepted() const { return accepted_.load(); }

  // Writes `bytes` as they are, in order with every other write.
  void SendBytes(std::string bytes) {
    auto shared = std::make_shared<std::string>(std::move(bytes));
    boost::asio::post(io_, [this, shared] {
      if (!socket_) return;
      boost::system::error_code ignored;
      boost::asio::write(*socket_, boost::asio::buffer(*shared), ignored);
    });
  }

  void Answer(const Response& response) {
    std::string frame;
    ASSERT_TRUE(
        FrameCodec::Encode(response, FrameCodec::kDefaultMaxFrameSize, &frame));
    SendBytes(frame);
  }

  void CloseConnection() {
    boost::asio::post(io_, [this] {
      if (!socket_) return;
      boost::system::error_code ignored;
      socket_->shutdown(tcp::socket::shutdown_both, ignored);
      socket_->close(ignored);
      socket_.reset();
    });
  }

 private:
  void Accept() {
    acceptor_.async_accept(
        [this](const boost::system::error_code& error, tcp::socket socket) {
          if (error) return;
          socket_ = std::make_shared<tcp::socket>(std::move(socket));
          socket_->set_option(tcp::no_delay(true));
          saw_close_ = false;
          codec_ = std::make_unique<FrameCodec>();
          ++accepted_;
          Read(socket_);
          Accept();
        });
  }

  void Read(std::shared_ptr<tcp::socket> socket) {
    socket->async_read_some(
        boost::asio::buffer(buffer_),
        [this, socket](const boost::system::error_code& error, size_t size) {
          if (error) {
            if (socket == socket_) saw_close_ = true;
            return;
          }
          {
            std::lock_guard<std::mutex> lock(mutex_);
            raw_.append(buffer_.data(), size);
          }
          codec_->Append(buffer_.data(), size);
          std::string body;
          while (codec_->Next(&body) == FrameCodec::Status::kFrame) {
            Request request;
            if (!request.ParseFromString(body)) continue;
            Handler handler;
            {
              std::lock_guard<std::mutex> lock(mutex_);
              requests_.push_back(request);
              handler = handler_;
            }
            if (handler) handler(request);
          }
          Read(socket);
        });
  }

  boost::asio::io_context io_;
  tcp::acceptor acceptor_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type>
      work_;
  std::thread thread_;
  // Peer thread only.
  std::shared_ptr<tcp::socket> socket_;
  std::unique_ptr<FrameCodec> codec_;
  std::array<char, 4096> buffer_;
  std::atomic<bool> saw_close_{false};
  std::atomic<int> accepted_{0};

  mutable std::mutex mutex_;
  Handler handler_;                // GUARDED_BY(mutex_)
  std::vector<Request> requests_;  // GUARDED_BY(mutex_)
  std::string raw_;                // GUARDED_BY(mutex_)
};

// A plausible success answer to `request`; a submission echoes its score so
// that each caller can check it got its own answer.
Response AnswerTo(const Request& request) {
  Response response;
  response.set_request_uuid(request.request_uuid());
  response.set_type(request.type());
  switch (request.type()) {
    case Request::kLeaderboardAuthentication:
      response.mutable_leaderboard_authentication()->set_result(
          Leaderboard::LeaderboardAuthentication::Response::kSuccess);
      break;
    case Request::kScoreSubmission:
      response.mutable_score_submission()->set_result(
          Leaderboard::ScoreSubmission::Response::kNewRecord);
      response.mutable_score_submission()->set_score(
          request.score_submission().score());
      break;
    case Request::kLeaderboardQuery:
      response.mutable_leaderboard_query()->set_total_player_count(
          request.leaderboard_query().range().end());
      break;
    default:
      break;
  }
  return response;
}

class LeaderboardClientTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        client_.Connect("127.0.0.1", peer_.port(), std::chrono::seconds(10)))
        << client_.LastError();
    ASSERT_TRUE(client_.IsConnected());
    ASSERT_TRUE(WaitFor([this] { return peer_.accepted() == 1; }));
  }

  void AnswerEverything() {
    peer_.set_handler([this](const Request& r) { peer_.Answer(AnswerTo(r)); });
  }

  // Collects the results of asynchronous requests.
  struct Results {
    std::mutex mutex;
    std::vector<LeaderboardClient::Result> items;  // GUARDED_BY(mutex)
    LeaderboardClient::Callback Collect() {
      return [this](LeaderboardClient::Result result) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(std::move(result));
      };
    }
    size_t size() {
      std::lock_guard<std::mutex> lock(mutex);
      return items.size();
    }
  };

  const Leaderboard::AccountId player_ = QueryBuilder::Account("guest", "p1");
  TestPeer peer_;
  LeaderboardClient client_;
};

TEST_F(LeaderboardClientTest, TypedRequestsCarryFreshUuidsTypesAndFields) {
  AnswerEverything();
  EXPECT_TRUE(client_.Authenticate("game1").ok());
  EXPECT_TRUE(client_
                  .SubmitScore("stage1", player_, 100,
                               Leaderboard::ScoreSubmission::kAdd)
                  .ok());
  EXPECT_TRUE(
      client_
          .SubmitScore("stage1", player_, -2.5,
                       Leaderboard::ScoreSubmission::kHighScore,
                       LeaderboardClient::RankLookup{
                           Leaderboard::LeaderboardQuery::Request::kDense,
                           Leaderboard::LeaderboardQuery::kWeekly})
          .ok());
  EXPECT_TRUE(
      client_
          .DeleteScores({{"stage1", player_},
                         {"stage2", QueryBuilder::Account("steam", "p2")}})
          .ok());
  const auto top =
      QueryBuilder::Public("stage1", Leaderboard::LeaderboardQuery::kDaily,
                           Leaderboard::LeaderboardQuery::Request::kCompetition,
                           QueryBuilder::TopRange(0, 9));
  const auto social = QueryBuilder::Social(
      "stage1", player_, {QueryBuilder::Account("guest", "f1")},
      Leaderboard::LeaderboardQuery::kAllTime,
      Leaderboard::LeaderboardQuery::Request::kPosition);
  LeaderboardClient::Result queried = client_.Query(top);
  ASSERT_TRUE(queried.ok());
  EXPECT_EQ(queried.response.leaderboard_query().total_player_count(), 9);
  EXPECT_TRUE(client_.QueryBatch({top, social}).ok());
  EXPECT_TRUE(client_.ResetScheduleStatus("stage1", 1, "20210208T000000").ok());
  EXPECT_TRUE(client_.RequestReset("stage3").ok());

  const std::vector<Request> seen = peer_.requests();
  ASSERT_EQ(seen.size(), 8u);
  std::set<std::string> uuids;
  for (const auto& request : seen) {
    EXPECT_EQ(request.request_uuid().size(), 16u);
    uuids.insert(request.request_uuid());
  }
  EXPECT_EQ(uuids.size(), seen.size()) << "request UUIDs must be fresh";

  EXPECT_EQ(seen[0].type(), Request::kLeaderboardAuthentication);
  EXPECT_EQ(seen[0].leaderboard_authentication().app_id(), "game1");

  EXPECT_EQ(seen[1].type(), Request::kScoreSubmission);
  const auto& plain = seen[1].score_submission();
  EXPECT_EQ(plain.leaderboard_id(), "stage1");
  EXPECT_EQ(plain.account_id().service_provider(), "guest");
  EXPECT_EQ(plain.account_id().local_account(), "p1");
  EXPECT_EQ(plain.score(), 100);
  ASSERT_TRUE(plain.has_type());
  EXPECT_EQ(plain.type(), Leaderboard::ScoreSubmission::kAdd);
  EXPECT_FALSE(plain.has_ranking_type());
  EXPECT_FALSE(plain.has_time_span());
  const auto& ranked = seen[2].score_submission();
  ASSERT_TRUE(ranked.has_type()) << "kHighScore is 0 and must still be sent";
  EXPECT_EQ(ranked.type(), Leaderboard::ScoreSubmission::kHighScore);
  EXPECT_EQ(ranked.ranking_type(),
            Leaderboard::LeaderboardQuery::Request::kDense);
  EXPECT_EQ(ranked.time_span(), Leaderboard::LeaderboardQuery::kWeekly);

  EXPECT_EQ(seen[3].type(), Request::kScoreDeletions);
  ASSERT_EQ(seen[3].score_deletions_size(), 2);
  EXPECT_EQ(seen[3].score_deletions(1).leaderboard_id(), "stage2");
  EXPECT_EQ(seen[3].score_deletions(1).account_id().service_provider(),
            "steam");

  EXPECT_EQ(seen[4].type(), Request::kLeaderboardQuery);
  const auto& query = seen[4].leaderboard_query();
  EXPECT_EQ(query.collection(), Leaderboard::LeaderboardQuery::kPublic);
  EXPECT_EQ(query.time_span(), Leaderboard::LeaderboardQuery::kDaily);
  EXPECT_EQ(query.range().type(),
            Leaderboard::LeaderboardQuery::Range::kFromTop);
  EXPECT_EQ(query.range().end(), 9);
  EXPECT_FALSE(query.has_account_id());

  EXPECT_EQ(seen[5].type(), Request::kLeaderboardQueries);
  ASSERT_EQ(seen[5].leaderboard_queries_size(), 2);
  const auto& batched_social = seen[5].leaderboard_queries(1);
  EXPECT_EQ(batched_social.collection(),
            Leaderboard::LeaderboardQuery::kSocial);
  EXPECT_EQ(batched_social.range().type(),
            Leaderboard::LeaderboardQuery::Range::kAll);
  EXPECT_EQ(batched_social.account_id().local_account(), "p1");
  ASSERT_EQ(batched_social.competitors_size(), 1);
  EXPECT_EQ(batched_social.competitors(0).local_account(), "f1");

  EXPECT_EQ(seen[6].type(), Request::kResetScheduleStatusQuery);
  ASSERT_TRUE(seen[6].reset_schedule_status_query().has_period());
  EXPECT_EQ(seen[6].reset_schedule_status_query().period(), 1);
  EXPECT_EQ(seen[6].reset_schedule_status_query().schedule_date_time(),
            "20210208T000000");

  EXPECT_EQ(seen[7].type(), Request::kLeaderboardReset);
  EXPECT_EQ(seen[7].leaderboard_reset().leaderboard_id(), "stage3");
}

TEST_F(LeaderboardClientTest, AnswersOutOfOrderReachTheirOwnRequests) {
  // Hold the answers until all three requests are in, then answer backwards.
  peer_.set_handler([this](const Request&) {
    std::vector<Request> seen = peer_.requests();
    if (seen.size() < 3) return;
    for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
      peer_.Answer(AnswerTo(*it));
    }
  });
  Results results;
  std::atomic<int> second_score{0};
  client_.SubmitScoreAsync("stage1", player_, 1,
                           Leaderboard::ScoreSubmission::kHighScore,
                           std::nullopt, results.Collect());
  client_.SubmitScoreAsync(
      "stage1", player_, 2, Leaderboard::ScoreSubmission::kHighScore,
      std::nullopt, [&second_score](LeaderboardClient::Result result) {
        second_score = static_cast<int>(
            result.ok() ? result.response.score_submission().score() : -1);
      });
  client_.AuthenticateAsync("game1", results.Collect());
  ASSERT_TRUE(
      WaitFor([&] { return results.size() == 2 && second_score != 0; }));

  EXPECT_EQ(second_score, 2);
  std::lock_guard<std::mutex> lock(results.mutex);
  // The authentication was answered first.
  ASSERT_TRUE(results.items[0].ok());
  EXPECT_EQ(results.items[0].response.type(),
            Request::kLeaderboardAuthentication);
  ASSERT_TRUE(results.items[1].ok());
  EXPECT_EQ(results.items[1].response.score_submission().score(), 1);
  EXPECT_EQ(client_.dropped_answer_count(), 0u);
}

TEST_F(LeaderboardClientTest,
       UnansweredRequestTimesOutAndItsLateAnswerIsDropped) {
  std::atomic<int> calls{0};
  Results results;
  client_.SubmitScoreAsync(
      "stage1", player_, 7, Leaderboard::ScoreSubmission::kHighScore,
      std::nullopt,
      [&](LeaderboardClient::Result result) {
        ++calls;
        results.Collect()(std::move(result));
      },
      std::chrono::milliseconds(100));
  ASSERT_TRUE(WaitFor([&] { return results.size() == 1; }));
  {
    std::lock_guard<std::mutex> lock(results.mutex);
    EXPECT_TRUE(results.items[0].timed_out());
    EXPECT_FALSE(results.items[0].error.empty());
  }
  EXPECT_TRUE(client_.IsConnected()) << "a timeout must not end the connection";

  // The answer turns up after all: logged and dropped, no second callback.
  ASSERT_TRUE(WaitFor([&] { return peer_.request_count() == 1; }));
  peer_.Answer(AnswerTo(peer_.requests()[0]));
  ASSERT_TRUE(WaitFor([&] { return client_.dropped_answer_count() == 1; }));
  EXPECT_EQ(calls, 1);

  // The connection still serves requests.
  AnswerEverything();
  EXPECT_TRUE(client_.Authenticate("game1").ok());
}

TEST_F(LeaderboardClientTest, PendingRequestsFailAtOnceWhenThePeerCloses) {
  Results results;
  const auto long_wait = std::chrono::minutes(5);
  client_.AuthenticateAsync("game1", results.Collect(), long_wait);
  client_.RequestResetAsync("stage1", results.Collect(), long_wait);
  client_.QueryAsync(
      QueryBuilder::Public("stage1", Leaderboard::LeaderboardQuery::kAllTime,
                           Leaderboard::LeaderboardQuery::Request::kPosition,
                           QueryBuilder::AllRange()),
      results.Collect(), long_wait);
  ASSERT_TRUE(WaitFor([&] { return peer_.request_count() == 3; }));
  peer_.CloseConnection();

  // Far sooner than their timeout.
  ASSERT_TRUE(WaitFor([&] { return results.size() == 3; }));
  {
    std::lock_guard<std::mutex> lock(results.mutex);
    for (const auto& result : results.items) {
      EXPECT_EQ(result.status, Status::kDisconnected);
      EXPECT_FALSE(result.error.empty());
    }
  }
  EXPECT_FALSE(client_.IsConnected());
  EXPECT_FALSE(client_.LastError().empty());

  const LeaderboardClient::Result refused = client_.Authenticate("game1");
  EXPECT_EQ(refused.status, Status::kNotConnected);

  // The same client connects again.
  AnswerEverything();
  ASSERT_TRUE(client_.Connect("127.0.0.1", peer_.port()));
  EXPECT_TRUE(client_.Authenticate("game1").ok());
}

TEST_F(LeaderboardClientTest, DestroyingTheClientEndsItsPendingRequests) {
  Results results;
  {
    LeaderboardClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer_.port()));
    client.AuthenticateAsync("game1", results.Collect(),
                             std::chrono::minutes(5));
    client.RequestResetAsync("stage1", results.Collect(),
                             std::chrono::minutes(5));
    ASSERT_TRUE(WaitFor([&] { return peer_.request_count() == 2; }));
  }
  ASSERT_EQ(results.size(), 2u);
  for (const auto& result : results.items) {
    EXPECT_EQ(result.status, Status::kDisconnected);
  }
}

TEST_F(LeaderboardClientTest, SplitAndMergedFramesAreReassembled) {
  peer_.set_handler([this](const Request&) {
    std::vector<Request> seen = peer_.requests();
    if (seen.size() < 3) return;
    std::string frames[3];
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(FrameCodec::Encode(AnswerTo(seen[i]), 1 << 20, &frames[i]));
    }
    // The first answer one byte per write, the other two in one write.
    for (char byte : frames[0]) peer_.SendBytes(std::string(1, byte));
    peer_.SendBytes(frames[1] + frames[2]);
  });
  Results results;
  for (int score = 1; score <= 3; ++score) {
    client_.SubmitScoreAsync("stage1", player_, score,
                             Leaderboard::ScoreSubmission::kAdd, std::nullopt,
                             results.Collect());
  }
  ASSERT_TRUE(WaitFor([&] { return results.size() == 3; }));
  std::set<double> scores;
  for (const auto& result : results.items) {
    ASSERT_TRUE(result.ok()) << result.error;
    scores.insert(result.response.score_submission().score());
  }
  EXPECT_EQ(scores, (std::set<double>{1, 2, 3}));
  EXPECT_EQ(client_.dropped_answer_count(), 0u);
}

TEST(LeaderboardClientLimitTest, OversizedAnswerClosesTheConnection) {
  static constexpr size_t kLimit = 1024;
  TestPeer peer;
  LeaderboardClient::Options options;
  options.max_frame_size = kLimit;
  LeaderboardClient client(options);
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));

  // An answer of exactly the limit is taken.
  peer.set_handler([&peer](const Request& request) {
    Response response = AnswerTo(request);
    response.mutable_leaderboard_reset()->set_schedule_date_time("");
    const size_t base = response.ByteSizeLong();
    response.mutable_leaderboard_reset()->set_schedule_date_time(
        std::string(kLimit - base - 1, 'x'));
    // The length prefix of the text grows by one byte past 127.
    while (response.ByteSizeLong() > kLimit) {
      std::string* text =
          response.mutable_leaderboard_reset()->mutable_schedule_date_time();
      text->pop_back();
    }
    ASSERT_EQ(response.ByteSizeLong(), kLimit);
    std::string frame;
    ASSERT_TRUE(FrameCodec::Encode(response, kLimit, &frame));
    peer.SendBytes(frame);
  });
  LeaderboardClient::Result fitting = client.RequestReset("stage1");
  ASSERT_TRUE(fitting.ok()) << fitting.error;
  EXPECT_GT(fitting.response.leaderboard_reset().schedule_date_time().size(),
            900u);

  // One byte more ends the connection, and the waiting request with it.
  peer.set_handler([&peer](const Request&) {
    peer.SendBytes(FrameCodec::EncodeHeader(kLimit + 1) + std::string(64, 'x'));
  });
  LeaderboardClient::Result refused =
      client.RequestReset("stage1", std::chrono::minutes(5));
  EXPECT_EQ(refused.status, Status::kDisconnected);
  EXPECT_NE(refused.error.find(std::to_string(kLimit + 1)), std::string::npos)
      << refused.error;
  EXPECT_FALSE(client.IsConnected());
  EXPECT_TRUE(WaitFor([&] { return peer.saw_close(); }));
}

TEST_F(LeaderboardClientTest, GarbageAnswersAreDroppedWithoutHarm) {
  std::string frame;
  ASSERT_TRUE(
      FrameCodec::Encode(std::string("\xff\xff\xff\xff", 4), 64, &frame));
  peer_.SendBytes(frame);  // does not parse
  Response no_uuid;
  no_uuid.set_type(Request::kLeaderboardReset);
  peer_.Answer(no_uuid);
  Response stranger;
  stranger.set_request_uuid(LeaderboardClient::NewRequestUuid());
  stranger.set_type(Request::kLeaderboardReset);
  peer_.Answer(stranger);
  ASSERT_TRUE(WaitFor([&] { return client_.dropped_answer_count() == 3; }));
  EXPECT_TRUE(client_.IsConnected());
  AnswerEverything();
  EXPECT_TRUE(client_.Authenticate("game1").ok());
}

TEST_F(LeaderboardClientTest, ConcurrentRequestsFromManyThreads) {
  AnswerEverything();
  constexpr int kThreads = 8;
  constexpr int kPerThread = 50;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const double score = t * 1000 + i;
        LeaderboardClient::Result result = client_.SubmitScore(
            "stage1", player_, score, Leaderboard::ScoreSubmission::kAdd);
        if (!result.ok() ||
            result.response.score_submission().score() != score) {
          ++mismatches;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, 0);
  const std::vector<Request> seen = peer_.requests();
  ASSERT_EQ(seen.size(), size_t{kThreads * kPerThread});
  std::set<std::string> uuids;
  for (const auto& request : seen) uuids.insert(request.request_uuid());
  EXPECT_EQ(uuids.size(), seen.size());
  EXPECT_EQ(client_.dropped_answer_count(), 0u);
}

TEST_F(LeaderboardClientTest, RawRequestsAndBytesGoOutAsGiven) {
  AnswerEverything();
  // Neither UUID nor a known type: nothing can answer it.
  Request bare;
  bare.set_type(5);
  const LeaderboardClient::Result unanswered =
      client_.Send(bare, std::chrono::milliseconds(100));
  EXPECT_TRUE(unanswered.timed_out());

  // A chosen UUID is kept and matched; a second request with the same UUID
  // while the first waits is refused rather than confused with it.
  peer_.set_handler(nullptr);
  Request chosen;
  chosen.set_request_uuid(std::string(16, '\x01'));
  chosen.set_type(Request::kLeaderboardReset);
  Results results;
  client_.SendAsync(chosen, results.Collect());
  client_.SendAsync(chosen, results.Collect());
  ASSERT_TRUE(WaitFor([&] { return results.size() == 1; }));
  EXPECT_EQ(results.items[0].status, Status::kInvalidRequest);
  ASSERT_TRUE(WaitFor([&] { return peer_.request_count() == 2; }));
  peer_.Answer(AnswerTo(peer_.requests()[1]));
  ASSERT_TRUE(WaitFor([&] { return results.size() == 2; }));
  EXPECT_TRUE(results.items[1].ok());

  const std::vector<Request> seen = peer_.requests();
  EXPECT_FALSE(seen[0].has_request_uuid());
  EXPECT_EQ(seen[0].type(), 5);
  EXPECT_EQ(seen[1].request_uuid(), chosen.request_uuid());

  ASSERT_TRUE(client_.SendRawBytes("not a frame"));
  ASSERT_TRUE(WaitFor([&] {
    const std::string raw = peer_.raw_bytes();
    return raw.size() >= 11 &&
           raw.compare(raw.size() - 11, 11, "not a frame") == 0;
  }));
}

TEST_F(LeaderboardClientTest, CallbacksMayCloseButNotWaitOnTheirClient) {
  Results results;
  std::atomic<bool> done{false};
  LeaderboardClient::Result nested;
  client_.RequestResetAsync("stage1", results.Collect(),
                            std::chrono::minutes(5));
  client_.AuthenticateAsync(
      "game1",
      [&](LeaderboardClient::Result) {
        nested = client_.Authenticate("again");  // would wait for itself
        client_.Close();
        done = true;
      },
      std::chrono::minutes(5));
  ASSERT_TRUE(WaitFor([&] { return peer_.request_count() == 2; }));
  peer_.Answer(AnswerTo(peer_.requests()[1]));
  ASSERT_TRUE(WaitFor([&] { return done.load() && results.size() == 1; }));
  EXPECT_EQ(nested.status, Status::kInvalidRequest);
  EXPECT_EQ(results.items[0].status, Status::kDisconnected);
  EXPECT_FALSE(client_.IsConnected());
}

TEST(LeaderboardClientConnectTest, RefusesWithoutAServer) {
  LeaderboardClient client;
  const LeaderboardClient::Result early = client.Authenticate("game1");
  EXPECT_EQ(early.status, Status::kNotConnected);
  EXPECT_FALSE(client.Connect("127.0.0.1", plemox_test::FreePort(),
                              std::chrono::seconds(5)));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_FALSE(client.LastError().empty());
  EXPECT_FALSE(
      client.Connect("no-such-host.invalid", 1, std::chrono::seconds(5)));

  TestPeer peer;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
  EXPECT_FALSE(client.Connect("127.0.0.1", peer.port()))
      << "a second connection on one client";
  EXPECT_TRUE(client.IsConnected());
}

TEST(ProtocolNamesTest, ParsesWhatAPersonTypes) {
  Leaderboard::AccountId account;
  ASSERT_TRUE(ProtocolNames::ParseAccount("guest:p1", &account));
  EXPECT_EQ(account.service_provider(), "guest");
  EXPECT_EQ(account.local_account(), "p1");
  for (const char* bad : {"guest", ":p1", "guest:", "a:b:c", ""}) {
    EXPECT_FALSE(ProtocolNames::ParseAccount(bad, &account)) << bad;
  }
  std::vector<Leaderboard::AccountId> accounts;
  ASSERT_TRUE(ProtocolNames::ParseAccountList("guest:a, steam:b", &accounts));
  ASSERT_EQ(accounts.size(), 2u);
  EXPECT_EQ(accounts[1].service_provider(), "steam");
  EXPECT_FALSE(ProtocolNames::ParseAccountList("guest:a,,steam:b", &accounts));
  EXPECT_EQ(accounts.size(), 2u) << "a failed parse leaves the list alone";

  Leaderboard::LeaderboardQuery::TimeSpan time_span{};
  ASSERT_TRUE(ProtocolNames::ParseTimeSpan("lastweek", &time_span));
  EXPECT_EQ(time_span, Leaderboard::LeaderboardQuery::kLastWeek);
  ASSERT_TRUE(ProtocolNames::ParseTimeSpan("7", &time_span));
  EXPECT_EQ(time_span, Leaderboard::LeaderboardQuery::kLastMonth);
  EXPECT_FALSE(ProtocolNames::ParseTimeSpan("8", &time_span));
  EXPECT_FALSE(ProtocolNames::ParseTimeSpan("2x", &time_span));

  Leaderboard::ScoreSubmission::Type type{};
  ASSERT_TRUE(ProtocolNames::ParseSubmissionType("subtract", &type));
  EXPECT_EQ(type, Leaderboard::ScoreSubmission::kSubtract);
  int32_t period = -1;
  ASSERT_TRUE(ProtocolNames::ParsePeriod("month", &period));
  EXPECT_EQ(period, 2);
  ASSERT_TRUE(ProtocolNames::ParsePeriod("3", &period));
  EXPECT_EQ(period, 3) << "out-of-range periods go to the server as they are";
  EXPECT_FALSE(ProtocolNames::ParsePeriod("99999999999", &period));
}

}  // namespace
}  // namespace plemox

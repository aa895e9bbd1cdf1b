// ScriptedServer: a leaderboard server stand-in for the load generator's
// tests, answering each request as a policy says. Test-only.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/frame_codec.h"
#include "leaderboard.pb.h"

namespace plemox {

using boost::asio::ip::tcp;
using Leaderboard::Request;
using Leaderboard::Response;

// A leaderboard server stand-in on 127.0.0.1: accepts any number of
// connections, decodes the requests and answers each with what the policy
// returns, after `delay` (nothing when the policy returns no answer). It
// records every request and the most requests ever unanswered on one
// connection. Everything runs on its own thread.
class ScriptedServer {
 public:
  using Policy = std::function<std::optional<Response>(const Request&)>;

  ScriptedServer(Policy policy, std::chrono::milliseconds delay)
      : policy_(std::move(policy)),
        delay_(delay),
        acceptor_(io_,
                  tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)),
        work_(boost::asio::make_work_guard(io_)) {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }

  ~ScriptedServer() {
    boost::asio::post(io_, [this] {
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      for (auto& connection : connections_) connection->socket.close(ignored);
    });
    work_.reset();
    io_.stop();
    thread_.join();
  }

  uint16_t port() const { return acceptor_.local_endpoint().port(); }

  // Requests other than authentications, in arrival order.
  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  size_t max_unanswered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return max_unanswered_;
  }
  // Closes every connection once `count` requests (not authentications)
  // have arrived.
  void CloseAllAfter(size_t count) { close_after_ = count; }

 private:
  struct Connection {
    explicit Connection(boost::asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    FrameCodec codec;
    std::array<char, 4096> buffer;
    size_t unanswered = 0;
  };

  void Accept() {
    acceptor_.async_accept(
        [this](const boost::system::error_code& error, tcp::socket socket) {
          if (error) return;
          auto connection = std::make_shared<Connection>(io_);
          connection->socket = std::move(socket);
          connections_.push_back(connection);
          Read(connection);
          Accept();
        });
  }

  void Read(const std::shared_ptr<Connection>& connection) {
    connection->socket.async_read_some(
        boost::asio::buffer(connection->buffer),
        [this, connection](const boost::system::error_code& error,
                           size_t size) {
          if (error) return;
          connection->codec.Append(connection->buffer.data(), size);
          std::string body;
          while (connection->codec.Next(&body) == FrameCodec::Status::kFrame) {
            Request request;
            if (request.ParseFromString(body)) OnRequest(connection, request);
          }
          if (connection->socket.is_open()) Read(connection);
        });
  }

  void OnRequest(const std::shared_ptr<Connection>& connection,
                 const Request& request) {
    if (request.type() != Request::kLeaderboardAuthentication) {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
      ++connection->unanswered;
      max_unanswered_ = std::max(max_unanswered_, connection->unanswered);
      if (close_after_ != 0 && requests_.size() >= close_after_) {
        boost::system::error_code ignored;
        for (auto& each : connections_) each->socket.close(ignored);
        return;
      }
    }
    std::optional<Response> response = policy_(request);
    if (!response) return;
    response->set_request_uuid(request.request_uuid());
    auto frame = std::make_shared<std::string>();
    EXPECT_TRUE(FrameCodec::Encode(*response, FrameCodec::kDefaultMaxFrameSize,
                                   frame.get()));
    const bool counted = request.type() != Request::kLeaderboardAuthentication;
    auto timer = std::make_shared<boost::asio::steady_timer>(io_, delay_);
    timer->async_wait([this, connection, frame, timer,
                       counted](const boost::system::error_code&) {
      if (!connection->socket.is_open()) return;
      if (counted) {
        std::lock_guard<std::mutex> lock(mutex_);
        --connection->unanswered;
      }
      boost::system::error_code ignored;
      boost::asio::write(connection->socket, boost::asio::buffer(*frame),
                         ignored);
    });
  }

  const Policy policy_;
  const std::chrono::milliseconds delay_;
  boost::asio::io_context io_;
  tcp::acceptor acceptor_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type>
      work_;
  std::thread thread_;
  std::vector<std::shared_ptr<Connection>> connections_;  // server thread only
  std::atomic<size_t> close_after_{0};

  mutable std::mutex mutex_;
  std::vector<Request> requests_;  // GUARDED_BY(mutex_)
  size_t max_unanswered_ = 0;      // GUARDED_BY(mutex_)
};

inline Response Authenticated(bool success) {
  Response response;
  response.set_type(Request::kLeaderboardAuthentication);
  response.mutable_leaderboard_authentication()->set_result(
      success ? Leaderboard::LeaderboardAuthentication::Response::kSuccess
              : Leaderboard::LeaderboardAuthentication::Response::
                    kFailAlreadyAuthenticated);
  return response;
}

// Submissions succeed, public queries get kFailUnknown, social queries are
// never answered.
inline std::optional<Response> MixedPolicy(const Request& request) {
  Response response;
  response.set_type(request.type());
  switch (request.type()) {
    case Request::kLeaderboardAuthentication:
      return Authenticated(true);
    case Request::kScoreSubmission:
      response.mutable_score_submission()->set_result(
          Leaderboard::ScoreSubmission::Response::kNone);
      return response;
    case Request::kLeaderboardQuery:
      if (request.leaderboard_query().collection() ==
          Leaderboard::LeaderboardQuery::kSocial) {
        return std::nullopt;
      }
      response.clear_type();
      response.mutable_fail()->set_code(Response::kFailUnknown);
      response.mutable_fail()->set_message("not available");
      return response;
    default:
      return std::nullopt;
  }
}

}  // namespace plemox

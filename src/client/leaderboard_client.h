// The C++ client of the leaderboard server for game servers: one TCP
// connection, requests matched to their answers by request UUID. The
// connection, framing and matching are in leaderboard_client.cc, the typed
// requests (Authenticate, SubmitScore, ...) in leaderboard_client_requests.cc.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "client/frame_codec.h"
#include "leaderboard.pb.h"

namespace plemox {

// A connection to one leaderboard server. Owns a background I/O thread that
// does all socket work and runs every callback.
//
// Every request gets a fresh random 16-byte request UUID; the answer carrying
// the same UUID completes it. Answers that match no waiting request (late,
// duplicated or unparsable) are logged and dropped. Each request ends exactly
// once: with its answer, with a timeout, or with the connection's end.
//
// Thread safety: every public function may be called from any thread, by
// several threads at once, except the destructor. The synchronous calls must
// not be made from a callback (they would wait for the thread that runs
// them); they then fail at once with kInvalidRequest. Close() may be called
// from a callback.
class LeaderboardClient {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  enum class Status {
    kAnswered,        // the server answered; see `response`
    kTimedOut,        // no answer within the timeout
    kDisconnected,    // the connection ended before the answer
    kNotConnected,    // there was no connection to send on
    kInvalidRequest,  // not sent: unserialisable, too large, duplicate UUID,
                      // or a synchronous call on the I/O thread
  };

  // How one request ended.
  struct Result {
    Status status = Status::kNotConnected;
    // The answer when status is kAnswered.
    Leaderboard::Response response;
    // Why there is no answer; empty when answered.
    std::string error;

    bool answered() const { return status == Status::kAnswered; }
    bool timed_out() const { return status == Status::kTimedOut; }
    // Answered and accepted: no `fail`, and an authentication answer says
    // kSuccess.
    bool ok() const;
  };

  // Called exactly once per request, on the client's I/O thread. Keep it
  // short; it must not call the synchronous requests of this client.
  using Callback = std::function<void(Result)>;

  // An account whose scores a deletion removes from one leaderboard.
  struct Deletion {
    std::string leaderboard_id;
    Leaderboard::AccountId account;
  };

  // Asks a score submission to come back with the player's rank.
  struct RankLookup {
    Leaderboard::LeaderboardQuery::Request::RankingType ranking_type =
        Leaderboard::LeaderboardQuery::Request::kPosition;
    Leaderboard::LeaderboardQuery::TimeSpan time_span =
        Leaderboard::LeaderboardQuery::kAllTime;
  };

  // One score submission with everything it may carry.
  struct Submission {
    std::string leaderboard_id;
    Leaderboard::AccountId account;
    double score = 0;
    Leaderboard::ScoreSubmission::Type type =
        Leaderboard::ScoreSubmission::kHighScore;
    std::optional<RankLookup> rank;
    // The player's name (UTF-8) and the game's bytes kept with the entry;
    // each replaces the stored one when set and leaves it when not.
    std::optional<std::string> display_name;
    std::optional<std::string> metadata;
    // Makes the submission safe to send again: give every resend of it the
    // same id (NewSubmissionId()); the server applies it once and answers a
    // resend like the first (with `resent` set).
    std::optional<std::string> submission_id;
    // The record's second score, on a leaderboard with a tiebreak only.
    std::optional<double> tiebreak_score;
  };

  // TLS to a server whose game port has --server_tls_cert.
  struct Tls {
    bool enabled = false;
    // PEM CA(s) the server's certificate must be signed by; empty: the
    // system's trusted CAs.
    std::string ca_file;
    // A client certificate and its key (PEM), for a server that requires
    // one (--server_tls_client_ca).
    std::string cert_file;
    std::string key_file;
    // The name the server's certificate must carry; empty: the host given
    // to Connect.
    std::string server_name;
  };

  struct Options {
    // Longest answer accepted; a longer frame ends the connection.
    size_t max_frame_size = FrameCodec::kDefaultMaxFrameSize;
    Tls tls;
  };

  LeaderboardClient();
  explicit LeaderboardClient(const Options& options);
  // Closes the connection (pending requests end kDisconnected) and joins the
  // I/O thread. REQUIRES: not called on the I/O thread (from a callback).
  ~LeaderboardClient();

  LeaderboardClient(const LeaderboardClient&) = delete;
  LeaderboardClient& operator=(const LeaderboardClient&) = delete;

  // Resolves `host` and connects within `timeout` (with TLS: the handshake
  // and the check of the server's certificate included). Returns false when
  // already connected or connecting, or on failure (reason in LastError()).
  // May be called again after the connection ended.
  bool Connect(const std::string& host, uint16_t port,
               std::chrono::milliseconds timeout = kDefaultTimeout);
  // Ends the connection, if any. Requests still waiting end kDisconnected
  // before Close returns (when called on the I/O thread: before it returns
  // to the caller's callback). Harmless when not connected.
  void Close();
  // Whether the connection is up. Turns false as soon as the client sees the
  // server close it, a read or write fails, or an answer is too large.
  bool IsConnected() const;
  // Why the last connection attempt failed or the last connection ended.
  std::string LastError() const;
  // Answers received that matched no waiting request or did not parse.
  uint64_t dropped_answer_count() const { return dropped_answers_.load(); }

  // Synchronous requests: send, then wait for the end of the request.
  Result Authenticate(const std::string& app_id,
                      std::chrono::milliseconds timeout = kDefaultTimeout);
  // Authenticates with the app's secret `key` (servers with a keys file
  // need one; an empty key is not sent).
  Result Authenticate(const std::string& app_id, const std::string& key,
                      std::chrono::milliseconds timeout = kDefaultTimeout);
  Result SubmitScore(const std::string& leaderboard_id,
                     const Leaderboard::AccountId& account, double score,
                     Leaderboard::ScoreSubmission::Type type,
                     const std::optional<RankLookup>& rank = std::nullopt,
                     std::chrono::milliseconds timeout = kDefaultTimeout);
  Result SubmitScore(const Submission& submission,
                     std::chrono::milliseconds timeout = kDefaultTimeout);
  Result DeleteScores(const std::vector<Deletion>& deletions,
                      std::chrono::milliseconds timeout = kDefaultTimeout);
  Result Query(const Leaderboard::LeaderboardQuery::Request& query,
               std::chrono::milliseconds timeout = kDefaultTimeout);
  Result QueryBatch(
      const std::vector<Leaderboard::LeaderboardQuery::Request>& queries,
      std::chrono::milliseconds timeout = kDefaultTimeout);
  // `period`: 0 day, 1 week, 2 month (other values are sent as they are).
  Result ResetScheduleStatus(
      const std::string& leaderboard_id, int32_t period,
      const std::string& schedule_date_time,
      std::chrono::milliseconds timeout = kDefaultTimeout);
  Result RequestReset(const std::string& leaderboard_id,
                      std::chrono::milliseconds timeout = kDefaultTimeout);
  // Sends `request` exactly as given (no UUID or type is filled in). When it
  // carries a request_uuid, the answer echoing it completes the request;
  // without one nothing can match and it ends with the timeout or the
  // connection.
  Result Send(const Leaderboard::Request& request,
              std::chrono::milliseconds timeout = kDefaultTimeout);

  // Asynchronous forms of the requests above; `callback` is called exactly
  // once, on the I/O thread (even when the request is refused at once).
  void AuthenticateAsync(const std::string& app_id, Callback callback,
                         std::chrono::milliseconds timeout = kDefaultTimeout);
  void AuthenticateAsync(const std::string& app_id, const std::string& key,
                         Callback callback,
                         std::chrono::milliseconds timeout = kDefaultTimeout);
  void SubmitScoreAsync(const std::string& leaderboard_id,
                        const Leaderboard::AccountId& account, double score,
                        Leaderboard::ScoreSubmission::Type type,
                        const std::optional<RankLookup>& rank,
                        Callback callback,
                        std::chrono::milliseconds timeout = kDefaultTimeout);
  void SubmitScoreAsync(const Submission& submission, Callback callback,
                        std::chrono::milliseconds timeout = kDefaultTimeout);
  void DeleteScoresAsync(const std::vector<Deletion>& deletions,
                         Callback callback,
                         std::chrono::milliseconds timeout = kDefaultTimeout);
  void QueryAsync(const Leaderboard::LeaderboardQuery::Request& query,
                  Callback callback,
                  std::chrono::milliseconds timeout = kDefaultTimeout);
  void QueryBatchAsync(
      const std::vector<Leaderboard::LeaderboardQuery::Request>& queries,
      Callback callback, std::chrono::milliseconds timeout = kDefaultTimeout);
  void ResetScheduleStatusAsync(
      const std::string& leaderboard_id, int32_t period,
      const std::string& schedule_date_time, Callback callback,
      std::chrono::milliseconds timeout = kDefaultTimeout);
  void RequestResetAsync(const std::string& leaderboard_id, Callback callback,
                         std::chrono::milliseconds timeout = kDefaultTimeout);
  void SendAsync(const Leaderboard::Request& request, Callback callback,
                 std::chrono::milliseconds timeout = kDefaultTimeout);

  // Writes `bytes` to the connection as they are, with no framing. Returns
  // false when not connected. For trying how a server copes with garbage.
  bool SendRawBytes(std::string bytes);

  // A fresh random request UUID: 16 raw bytes.
  static std::string NewRequestUuid();
  // A fresh random submission id: 16 raw bytes, as unlikely as a request
  // UUID to meet another one.
  static std::string NewSubmissionId() { return NewRequestUuid(); }

 private:
  struct Connection;
  struct ConnectAttempt;
  struct Pending {
    Callback callback;
    // Tells a request apart from a later one that reuses its key.
    uint64_t sequence = 0;
    // Armed on the I/O thread once the request is on its way.
    std::unique_ptr<boost::asio::steady_timer> timer;
  };

  static Leaderboard::Request NewRequest(Leaderboard::Request::Type type);
  Result Call(const Leaderboard::Request& request,
              std::chrono::milliseconds timeout);
  bool OnIoThread() const;

  // Registers the request and hands it to the I/O thread.
  void Start(const Leaderboard::Request& request,
             std::chrono::milliseconds timeout, Callback callback);
  // Runs `callback` with a result that needs no answer, on the I/O thread.
  void Refuse(Callback callback, Status status, std::string error);

  // Everything below runs on the I/O thread.
  void Transmit(const std::string& key, uint64_t sequence,
                uint64_t connection_id, std::shared_ptr<std::string> frame,
                std::chrono::milliseconds timeout);
  void OnTimeout(const std::string& key, uint64_t sequence);
  // Ends the request under `key` (if `sequence` is set, only that one);
  // false when no such request is waiting.
  bool Complete(const std::string& key, std::optional<uint64_t> sequence,
                Result result);
  static void RunCallback(const Callback& callback, Result result);
  // Runs the client side of the TLS handshake after the TCP connect.
  void StartHandshake(const std::shared_ptr<ConnectAttempt>& attempt);
  void FinishConnect(const std::shared_ptr<ConnectAttempt>& attempt, bool ok,
                     const std::string& error);
  void StartRead(const std::shared_ptr<Connection>& connection);
  void OnAnswerFrame(const std::string& body);
  void Enqueue(const std::shared_ptr<Connection>& connection,
               std::shared_ptr<std::string> bytes);
  void StartWrite(const std::shared_ptr<Connection>& connection);
  void CloseConnection(const std::shared_ptr<Connection>& connection,
                       const std::string& reason);

  const Options options_;
  // Made by the first Connect with options_.tls enabled, before the I/O
  // thread first reads it; never changed afterwards.
  std::shared_ptr<boost::asio::ssl::context> tls_context_;
  boost::asio::io_context io_context_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type>
      work_guard_;

  mutable std::mutex mutex_;
  // Id of the open connection; 0 when there is none.
  uint64_t open_connection_id_ = 0;  // GUARDED_BY(mutex_)
  bool connecting_ = false;          // GUARDED_BY(mutex_)
  std::string last_error_;           // GUARDED_BY(mutex_)
  uint64_t next_sequence_ = 1;       // GUARDED_BY(mutex_)
  // Waiting requests by their normalised request UUID.
  std::unordered_map<std::string, Pending> pending_;  // GUARDED_BY(mutex_)

  // I/O thread only.
  std::shared_ptr<Connection> connection_;
  uint64_t last_connection_id_ = 0;

  std::atomic<uint64_t> dropped_answers_{0};
  std::thread io_thread_;
  std::thread::id io_thread_id_;
};

}  // namespace plemox

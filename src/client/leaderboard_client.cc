#include "client/leaderboard_client.h"

#include <glog/logging.h>

#include <algorithm>
#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <deque>
#include <exception>
#include <future>
#include <utility>

#include "client/client_tls.h"

namespace plemox {
namespace {

using boost::asio::ip::tcp;
using Leaderboard::Request;
using Leaderboard::Response;

// Prefix of the keys of requests sent without a UUID. Longer than 16 bytes,
// so no answer's key (always 16 bytes) can ever equal one of them.
constexpr char kNoUuidKeyPrefix[] = "request-without-uuid#";

constexpr char kClosedByClient[] = "the client closed the connection";

// The server reads a request UUID as its first 16 bytes, zero-padded, and
// echoes that; matching uses the same form.
std::string MatchKey(const std::string& request_uuid) {
  std::string key = request_uuid.substr(0, 16);
  key.resize(16, '\0');
  return key;
}

std::string UuidText(const std::string& key) {
  boost::uuids::uuid uuid{};
  std::copy_n(key.begin(), std::min(key.size(), uuid.size()), uuid.begin());
  return boost::uuids::to_string(uuid);
}

}  // namespace

constexpr std::chrono::milliseconds LeaderboardClient::kDefaultTimeout;

// One TCP connection. Touched only on the I/O thread.
struct LeaderboardClient::Connection {
  Connection(boost::asio::io_context& io_context, size_t max_frame_size,
             uint64_t connection_id, std::string peer_name)
      : socket(io_context),
        codec(max_frame_size),
        id(connection_id),
        peer(std::move(peer_name)) {}

  tcp::socket socket;
  // With TLS: the stream over `socket` that every read and write goes
  // through.
  std::unique_ptr<boost::asio::ssl::stream<tcp::socket&>> tls;
  FrameCodec codec;
  std::array<char, 64 * 1024> read_buffer;
  // Frames waiting to be written; the front one is being written.
  std::deque<std::shared_ptr<std::string>> write_queue;
  const uint64_t id;
  const std::string peer;
  bool closed = false;
};

// One Connect call in progress. Touched only on the I/O thread, except the
// promise that the caller waits on.
struct LeaderboardClient::ConnectAttempt {
  ConnectAttempt(boost::asio::io_context& io_context, std::string host_name,
                 uint16_t port_number)
      : resolver(io_context),
        timer(io_context),
        host(std::move(host_name)),
        port(port_number) {}

  tcp::resolver resolver;
  boost::asio::steady_timer timer;
  const std::string host;
  const uint16_t port;
  std::shared_ptr<Connection> connection;
  std::promise<bool> result;
  bool done = false;
};

bool LeaderboardClient::Result::ok() const {
  if (!answered() || response.has_fail()) return false;
  if (response.type() == Request::kLeaderboardAuthentication) {
    return response.leaderboard_authentication().result() ==
           Leaderboard::LeaderboardAuthentication::Response::kSuccess;
  }
  return true;
}

LeaderboardClient::LeaderboardClient() : LeaderboardClient(Options()) {}

LeaderboardClient::LeaderboardClient(const Options& options)
    : options_(options),
      work_guard_(boost::asio::make_work_guard(io_context_)) {
  io_thread_ = std::thread([this] { io_context_.run(); });
  io_thread_id_ = io_thread_.get_id();
}

LeaderboardClient::~LeaderboardClient() {
  CHECK(!OnIoThread())
      << "Assert failed: a LeaderboardClient is destroyed by its own callback";
  Close();
  // Let the I/O thread finish what is queued (refusals, cancelled timers and
  // socket operations) and return.
  work_guard_.reset();
  io_thread_.join();
}

bool LeaderboardClient::OnIoThread() const {
  return std::this_thread::get_id() == io_thread_id_;
}

std::string LeaderboardClient::NewRequestUuid() {
  // The generator reads the system's entropy source; one per thread, as it
  // is not safe to share.
  thread_local boost::uuids::random_generator generator;
  const boost::uuids::uuid uuid = generator();
  return std::string(uuid.begin(), uuid.end());
}

Request LeaderboardClient::NewRequest(Request::Type type) {
  Request request;
  request.set_request_uuid(NewRequestUuid());
  request.set_type(type);
  return request;
}

// ---------------------------------------------------------------------------
// Connection management.

bool LeaderboardClient::Connect(const std::string& host, uint16_t port,
                                std::chrono::milliseconds timeout) {
  if (OnIoThread()) {
    LOG(ERROR) << "Connect() failed: called on the client's I/O thread";
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_connection_id_ != 0 || connecting_) {
      LOG(WARNING) << "Connect() failed: already connected or connecting"
                   << ": host=" << host << ", port=" << port;
      return false;
    }
    std::string error;
    if (options_.tls.enabled && !tls_context_ &&
        !(tls_context_ = ClientTls::MakeContext(options_.tls, &error))) {
      last_error_ = error;
      LOG(WARNING) << "Connect() failed: " << error;
      return false;
    }
    connecting_ = true;
  }
  auto attempt = std::make_shared<ConnectAttempt>(io_context_, host, port);
  std::future<bool> result = attempt->result.get_future();
  boost::asio::post(io_context_, [this, attempt, timeout] {
    attempt->connection = std::make_shared<Connection>(
        io_context_, options_.max_frame_size, ++last_connection_id_,
        attempt->host + ":" + std::to_string(attempt->port));
    attempt->timer.expires_after(timeout);
    attempt->timer.async_wait(
        [this, attempt, timeout](const boost::system::error_code& error) {
          if (error || attempt->done) return;
          attempt->resolver.cancel();
          FinishConnect(
              attempt, false,
              "timed out after " + std::to_string(timeout.count()) + " ms");
        });
    attempt->resolver.async_resolve(
        attempt->host, std::to_string(attempt->port),
        [this, attempt](const boost::system::error_code& error,
                        const tcp::resolver::results_type& endpoints) {
          if (attempt->done) return;
          if (error) {
            FinishConnect(attempt, false,
                          "cannot resolve the host: " + error.message());
            return;
          }
          boost::asio::async_connect(
              attempt->connection->socket, endpoints,
              [this, attempt](const boost::system::error_code& error,
                              const tcp::endpoint&) {
                if (attempt->done) return;
                if (error || !tls_context_) {
                  FinishConnect(attempt, !error,
                                error ? "cannot connect: " + error.message()
                                      : std::string());
                  return;
                }
                StartHandshake(attempt);
              });
        });
  });
  return result.get();
}

void LeaderboardClient::StartHandshake(
    const std::shared_ptr<ConnectAttempt>& attempt) {
  Connection& connection = *attempt->connection;
  connection.tls = std::make_unique<boost::asio::ssl::stream<tcp::socket&>>(
      connection.socket, *tls_context_);
  ClientTls::ExpectServerName(*connection.tls, options_.tls.server_name.empty()
                                                   ? attempt->host
                                                   : options_.tls.server_name);
  connection.tls->async_handshake(
      boost::asio::ssl::stream_base::client,
      [this, attempt](const boost::system::error_code& error) {
        if (attempt->done) return;
        FinishConnect(
            attempt, !error,
            error ? ClientTls::HandshakeError(*attempt->connection->tls, error)
                  : std::string());
      });
}

void LeaderboardClient::FinishConnect(
    const std::shared_ptr<ConnectAttempt>& attempt, bool ok,
    const std::string& error) {
  attempt->done = true;
  attempt->timer.cancel();
  const std::shared_ptr<Connection>& connection = attempt->connection;
  boost::system::error_code ignored;
  if (ok) {
    connection->socket.set_option(tcp::no_delay(true), ignored);
    connection_ = connection;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_connection_id_ = connection->id;
      connecting_ = false;
      last_error_.clear();
    }
    LOG(INFO) << "Connected to the leaderboard server: server="
              << connection->peer;
    StartRead(connection);
  } else {
    connection->socket.close(ignored);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connecting_ = false;
      last_error_ = error;
    }
    LOG(WARNING) << "Connect() failed: " << error
                 << ": server=" << connection->peer;
  }
  attempt->result.set_value(ok);
}

void LeaderboardClient::Close() {
  if (OnIoThread()) {
    CloseConnection(connection_, kClosedByClient);
    return;
  }
  std::promise<void> closed;
  boost::asio::post(io_context_, [this, &closed] {
    CloseConnection(connection_, kClosedByClient);
    closed.set_value();
  });
  closed.get_future().wait();
}

bool LeaderboardClient::IsConnected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_connection_id_ != 0;
}

std::string LeaderboardClient::LastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

void LeaderboardClient::CloseConnection(
    const std::shared_ptr<Connection>& connection, const std::string& reason) {
  if (!connection || connection->closed) return;
  // Keep the connection alive through this function: `connection` may be a
  // reference to connection_, which is reset below.
  const std::shared_ptr<Connection> keep = connection;
  keep->closed = true;
  boost::system::error_code ignored;
  keep->socket.shutdown(tcp::socket::shutdown_both, ignored);
  keep->socket.close(ignored);
  if (connection_ == keep) connection_.reset();

  std::unordered_map<std::string, Pending> orphans;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_connection_id_ == keep->id) open_connection_id_ = 0;
    last_error_ = reason;
    orphans.swap(pending_);
  }
  // Only an end the client did not ask for is worth a warning.
  LOG_IF(WARNING, reason != kClosedByClient)
      << "Connection to the leaderboard server lost: " << reason
      << ": server=" << keep->peer << ", waiting requests=" << orphans.size();
  LOG_IF(INFO, reason == kClosedByClient)
      << "Connection to the leaderboard server closed: server=" << keep->peer
      << ", waiting requests=" << orphans.size();
  for (auto& entry : orphans) {
    if (entry.second.timer) entry.second.timer->cancel();
    Result result;
    result.status = Status::kDisconnected;
    result.error = reason;
    RunCallback(entry.second.callback, std::move(result));
  }
}

// ---------------------------------------------------------------------------
// Reading and writing.

void LeaderboardClient::StartRead(
    const std::shared_ptr<Connection>& connection) {
  auto on_read = [this, connection](const boost::system::error_code& error,
                                    size_t size) {
    if (connection->closed) return;
    if (error) {
      const bool closed = error == boost::asio::error::eof ||
                          error == boost::asio::ssl::error::stream_truncated;
      CloseConnection(connection, closed ? "the server closed the connection"
                                         : "read failed: " + error.message());
      return;
    }
    connection->codec.Append(connection->read_buffer.data(), size);
    std::string body;
    for (;;) {
      const FrameCodec::Status status = connection->codec.Next(&body);
      if (status == FrameCodec::Status::kNeedMore) break;
      if (status == FrameCodec::Status::kTooLarge) {
        const std::string reason =
            "the server sent a frame of " +
            std::to_string(connection->codec.refused_length()) +
            " bytes, more than the limit of " +
            std::to_string(connection->codec.max_frame_size()) + " bytes";
        LOG(ERROR) << "Answer refused: " << reason
                   << ": server=" << connection->peer;
        CloseConnection(connection, reason);
        return;
      }
      OnAnswerFrame(body);
      // A callback may have closed the connection.
      if (connection->closed) return;
    }
    StartRead(connection);
  };
  const auto buffer = boost::asio::buffer(connection->read_buffer);
  if (connection->tls) {
    connection->tls->async_read_some(buffer, std::move(on_read));
  } else {
    connection->socket.async_read_some(buffer, std::move(on_read));
  }
}

void LeaderboardClient::OnAnswerFrame(const std::string& body) {
  Response response;
  if (!response.ParseFromString(body)) {
    ++dropped_answers_;
    LOG(WARNING) << "Dropped an answer that does not parse: bytes="
                 << body.size();
    return;
  }
  if (!response.has_request_uuid()) {
    ++dropped_answers_;
    LOG(WARNING) << "Dropped an answer without a request uuid: type="
                 << response.type();
    return;
  }
  const std::string key = MatchKey(response.request_uuid());
  const int32_t type = response.type();
  VLOG(2) << "Answer received: request uuid=" << UuidText(key)
          << ", type=" << type << ", failed=" << response.has_fail();
  Result result;
  result.status = Status::kAnswered;
  result.response = std::move(response);
  if (!Complete(key, std::nullopt, std::move(result))) {
    ++dropped_answers_;
    LOG(WARNING) << "Dropped an answer that matches no waiting request"
                 << ": request uuid=" << UuidText(key) << ", type=" << type;
  }
}

void LeaderboardClient::Enqueue(const std::shared_ptr<Connection>& connection,
                                std::shared_ptr<std::string> bytes) {
  connection->write_queue.push_back(std::move(bytes));
  if (connection->write_queue.size() == 1) StartWrite(connection);
}

void LeaderboardClient::StartWrite(
    const std::shared_ptr<Connection>& connection) {
  auto on_written = [this, connection](const boost::system::error_code& error,
                                       size_t) {
    if (connection->closed) return;
    if (error) {
      CloseConnection(connection, "write failed: " + error.message());
      return;
    }
    connection->write_queue.pop_front();
    if (!connection->write_queue.empty()) StartWrite(connection);
  };
  const auto buffer = boost::asio::buffer(*connection->write_queue.front());
  if (connection->tls) {
    boost::asio::async_write(*connection->tls, buffer, std::move(on_written));
  } else {
    boost::asio::async_write(connection->socket, buffer, std::move(on_written));
  }
}

bool LeaderboardClient::SendRawBytes(std::string bytes) {
  uint64_t connection_id = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection_id = open_connection_id_;
  }
  if (connection_id == 0) return false;
  auto shared = std::make_shared<std::string>(std::move(bytes));
  boost::asio::post(io_context_, [this, connection_id, shared] {
    if (connection_ && !connection_->closed &&
        connection_->id == connection_id) {
      Enqueue(connection_, shared);
    }
  });
  return true;
}

// ---------------------------------------------------------------------------
// Requests.

void LeaderboardClient::Refuse(Callback callback, Status status,
                               std::string error) {
  LOG(WARNING) << "Request not sent: " << error;
  boost::asio::post(io_context_, [callback = std::move(callback), status,
                                  error = std::move(error)] {
    Result result;
    result.status = status;
    result.error = error;
    RunCallback(callback, std::move(result));
  });
}

void LeaderboardClient::Start(const Request& request,
                              std::chrono::milliseconds timeout,
                              Callback callback) {
  auto frame = std::make_shared<std::string>();
  if (!FrameCodec::Encode(request, options_.max_frame_size, frame.get())) {
    Refuse(std::move(callback), Status::kInvalidRequest,
           "the request does not serialise or is longer than " +
               std::to_string(options_.max_frame_size) + " bytes");
    return;
  }
  std::string key;
  uint64_t sequence = 0;
  uint64_t connection_id = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_connection_id_ == 0) {
      Refuse(std::move(callback), Status::kNotConnected,
             last_error_.empty() ? "not connected"
                                 : "not connected: " + last_error_);
      return;
    }
    sequence = next_sequence_++;
    key = request.has_request_uuid()
              ? MatchKey(request.request_uuid())
              : kNoUuidKeyPrefix + std::to_string(sequence);
    if (pending_.count(key) != 0) {
      Refuse(std::move(callback), Status::kInvalidRequest,
             "a request with the request uuid " + UuidText(key) +
                 " is still waiting for its answer");
      return;
    }
    Pending pending;
    pending.callback = std::move(callback);
    pending.sequence = sequence;
    pending_.emplace(key, std::move(pending));
    connection_id = open_connection_id_;
  }
  VLOG(1) << "Request sent: request uuid="
          << (request.has_request_uuid() ? UuidText(key) : "(none)")
          << ", type=" << request.type();
  boost::asio::post(io_context_,
                    [this, key, sequence, connection_id, frame, timeout] {
                      Transmit(key, sequence, connection_id, frame, timeout);
                    });
}

void LeaderboardClient::Transmit(const std::string& key, uint64_t sequence,
                                 uint64_t connection_id,
                                 std::shared_ptr<std::string> frame,
                                 std::chrono::milliseconds timeout) {
  if (!connection_ || connection_->closed || connection_->id != connection_id) {
    Result result;
    result.status = Status::kDisconnected;
    result.error = "the connection ended before the request was sent";
    Complete(key, sequence, std::move(result));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(key);
    if (it == pending_.end() || it->second.sequence != sequence) return;
    it->second.timer =
        std::make_unique<boost::asio::steady_timer>(io_context_, timeout);
    it->second.timer->async_wait(
        [this, key, sequence, timeout](const boost::system::error_code& error) {
          if (error == boost::asio::error::operation_aborted) return;
          Result result;
          result.status = Status::kTimedOut;
          result.error =
              "no answer within " + std::to_string(timeout.count()) + " ms";
          if (Complete(key, sequence, std::move(result))) {
            LOG(WARNING) << "Request timed out: request uuid=" << UuidText(key)
                         << ", timeout ms=" << timeout.count();
          }
        });
  }
  Enqueue(connection_, std::move(frame));
}

bool LeaderboardClient::Complete(const std::string& key,
                                 std::optional<uint64_t> sequence,
                                 Result result) {
  Pending pending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(key);
    if (it == pending_.end()) return false;
    if (sequence && it->second.sequence != *sequence) return false;
    pending = std::move(it->second);
    pending_.erase(it);
  }
  if (pending.timer) pending.timer->cancel();
  RunCallback(pending.callback, std::move(result));
  return true;
}

void LeaderboardClient::RunCallback(const Callback& callback, Result result) {
  if (!callback) return;
  // An exception must not leave the I/O thread: it would take every other
  // request of this client down with it.
  try {
    callback(std::move(result));
  } catch (const std::exception& e) {
    LOG(ERROR) << "A request callback threw: " << e.what();
  } catch (...) {
    LOG(ERROR) << "A request callback threw an unknown exception";
  }
}

LeaderboardClient::Result LeaderboardClient::Call(
    const Request& request, std::chrono::milliseconds timeout) {
  if (OnIoThread()) {
    LOG(ERROR) << "A synchronous request was made on the client's I/O "
                  "thread; it would wait for itself";
    Result result;
    result.status = Status::kInvalidRequest;
    result.error = "synchronous request on the client's I/O thread";
    return result;
  }
  auto promise = std::make_shared<std::promise<Result>>();
  std::future<Result> future = promise->get_future();
  Start(request, timeout,
        [promise](Result result) { promise->set_value(std::move(result)); });
  return future.get();
}

}  // namespace plemox

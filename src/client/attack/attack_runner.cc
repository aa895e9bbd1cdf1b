// AttackRunner: the attacks, the probe and the memory sampler.
#include "client/attack/attack_runner.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "client/frame_codec.h"
#include "client/leaderboard_client.h"
#include "client/query_builder.h"
#include "leaderboard.pb.h"

namespace plemox {

namespace {

using Leaderboard::LeaderboardQuery;
using Leaderboard::Request;
using Leaderboard::Response;
using Clock = std::chrono::steady_clock;

// A connected TCP socket, closed on destruction.
class RawSocket {
 public:
  RawSocket() = default;
  explicit RawSocket(int fd) : fd_(fd) {}
  RawSocket(RawSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  RawSocket& operator=(RawSocket&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~RawSocket() { Close(); }

  static RawSocket Connect(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints,
                    &found) != 0) {
      return RawSocket();
    }
    RawSocket result;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
      RawSocket s(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
      if (s.valid() && connect(s.fd(), a->ai_addr, a->ai_addrlen) == 0) {
        result = std::move(s);
        break;
      }
    }
    freeaddrinfo(found);
    return result;
  }

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  void SetTimeouts(std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }

  // Sends as much of `data` as the peer takes before the send timeout;
  // returns the bytes sent.
  size_t SendSome(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n =
          send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        break;
      }
      sent += static_cast<size_t>(n);
    }
    return sent;
  }

  // One byte without blocking; false once the peer has closed.
  bool Poke() {
    const char byte = 'x';
    const ssize_t n = send(fd_, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n == 1 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
  }

  // Whether the peer has closed (a read without blocking sees the end).
  bool PeerClosed() {
    char byte;
    const ssize_t n = recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }

  // Reads one whole frame body (within the receive timeout).
  bool ReadFrame(std::string* body) {
    FrameCodec codec;
    char buffer[4096];
    for (;;) {
      switch (codec.Next(body)) {
        case FrameCodec::Status::kFrame:
          return true;
        case FrameCodec::Status::kTooLarge:
          return false;
        case FrameCodec::Status::kNeedMore:
          break;
      }
      const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
      if (n <= 0) return false;
      codec.Append(buffer, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
};

std::string Frame(const Request& request) {
  std::string frame;
  FrameCodec::Encode(request, FrameCodec::kDefaultMaxFrameSize, &frame);
  return frame;
}

Request NewRequest(Request::Type type, uint64_t id) {
  Request request;
  std::string uuid(16, '\0');
  for (int i = 0; i < 8; ++i) uuid[i] = static_cast<char>(id >> (8 * i));
  request.set_request_uuid(uuid);
  request.set_type(type);
  return request;
}

// Connects and authenticates a raw connection; an invalid socket on failure.
RawSocket AuthenticatedSocket(const AttackRunner::Options& options,
                              uint64_t id) {
  RawSocket s = RawSocket::Connect(options.host, options.port);
  if (!s.valid()) return s;
  s.SetTimeouts(std::chrono::milliseconds(5000));
  Request auth = NewRequest(Request::kLeaderboardAuthentication, id);
  auth.mutable_leaderboard_authentication()->set_app_id(options.app_id);
  if (!options.key.empty()) {
    auth.mutable_leaderboard_authentication()->set_key(options.key);
  }
  std::string body;
  Response answer;
  if (s.SendSome(Frame(auth)) == 0 || !s.ReadFrame(&body) ||
      !answer.ParseFromString(body) || answer.has_fail()) {
    return RawSocket();
  }
  return s;
}

double RssMb(pid_t pid) {
  if (pid <= 0) return 0;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stod(line.substr(6)) / 1024.0;
    }
  }
  return 0;
}

// Whether the process exists and has not exited (a zombie has).
bool ProcessAlive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content;
  if (!std::getline(stat, content)) return false;
  const size_t paren = content.rfind(')');
  return paren != std::string::npos && paren + 2 < content.size() &&
         content[paren + 2] != 'Z' && content[paren + 2] != 'X';
}

LeaderboardQuery::Request TopQuery(const std::string& leaderboard_id,
                                   int64_t count) {
  return QueryBuilder::Public(leaderboard_id, LeaderboardQuery::kAllTime,
                              LeaderboardQuery::Request::kPosition,
                              QueryBuilder::TopRange(0, count - 1),
                              QueryBuilder::Account("attack", "probe"));
}

// A client with the attack's TLS settings.
LeaderboardClient::Options ClientOptions(const AttackRunner::Options& options) {
  LeaderboardClient::Options client;
  client.tls = options.tls;
  return client;
}

// Probes the server and samples its memory until stopped.
class Watch {
 public:
  Watch(const AttackRunner::Options& options, AttackRunner::Report* report)
      : options_(options), report_(report) {
    report_->rss_before_mb = RssMb(options_.pid);
    report_->rss_peak_mb = report_->rss_before_mb;
    sampler_ = std::thread([this] { Sample(); });
    prober_ = std::thread([this] { Probe(); });
  }
  ~Watch() { Stop(); }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
    }
    wake_.notify_all();
    sampler_.join();
    prober_.join();
    std::sort(latencies_us_.begin(), latencies_us_.end());
    if (!latencies_us_.empty()) {
      auto at = [this](double share) {
        const size_t index =
            std::min(latencies_us_.size() - 1,
                     static_cast<size_t>(
                         share * static_cast<double>(latencies_us_.size())));
        return latencies_us_[index];
      };
      report_->probe_p50_us = at(0.5);
      report_->probe_p99_us = at(0.99);
      report_->probe_max_us = latencies_us_.back();
    }
  }

 private:
  // Waits `period` or until stopped; true when stopped.
  bool WaitFor(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, period, [this] { return stopped_; });
  }

  void Sample() {
    do {
      const double rss = RssMb(options_.pid);
      std::lock_guard<std::mutex> lock(mutex_);
      report_->rss_peak_mb = std::max(report_->rss_peak_mb, rss);
    } while (!WaitFor(std::chrono::milliseconds(20)));
  }

  void Probe() {
    do {
      const auto start = Clock::now();
      bool ok = false;
      {
        LeaderboardClient client(ClientOptions(options_));
        ok = client.Connect(options_.host, options_.port,
                            options_.probe_timeout) &&
             client
                 .Authenticate(options_.app_id, options_.key,
                               options_.probe_timeout)
                 .ok() &&
             client
                 .Query(TopQuery(options_.leaderboard_id, 10),
                        options_.probe_timeout)
                 .ok();
      }
      const auto took = Clock::now() - start;
      std::lock_guard<std::mutex> lock(mutex_);
      ++report_->probes;
      if (!ok || took > options_.probe_timeout) {
        ++report_->probe_failures;
      } else {
        latencies_us_.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(took)
                .count());
      }
    } while (!WaitFor(options_.probe_interval));
  }

  const AttackRunner::Options& options_;
  AttackRunner::Report* report_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
  std::vector<int64_t> latencies_us_;
  std::thread sampler_;
  std::thread prober_;
};

}  // namespace

AttackRunner::AttackRunner(Options options) : options_(std::move(options)) {}

const std::vector<std::string>& AttackRunner::AttackNames() {
  static const std::vector<std::string> names = {
      "trickle", "idle",    "flood", "batch",
      "text",    "badkeys", "guess", "handshake"};
  return names;
}

AttackRunner::Report AttackRunner::Run(const std::string& attack) {
  Report report;
  report.attack = attack;
  const auto& names = AttackNames();
  if (std::find(names.begin(), names.end(), attack) == names.end()) {
    report.detail = "unknown attack";
    return report;
  }
  {
    Watch watch(options_, &report);
    // A frame header announcing more than arrives; a TLS record header
    // announcing a ClientHello of 512 bytes and one byte of it.
    const std::string header =
        FrameCodec::EncodeHeader(options_.announced_length);
    const std::string client_hello("\x16\x03\x01\x02\x00\x01", 6);
    if (attack == "trickle" || attack == "idle") {
      report.outcome_ok =
          Trickle(&report, attack == "trickle" ? &header : nullptr);
    } else if (attack == "handshake") {
      report.outcome_ok = Trickle(&report, &client_hello);
    } else if (attack == "flood") {
      report.outcome_ok = Flood(&report);
    } else if (attack == "batch") {
      report.outcome_ok = Batch(&report);
    } else if (attack == "badkeys") {
      report.outcome_ok = BadKeys(&report);
    } else if (attack == "guess") {
      report.outcome_ok = Guess(&report);
    } else {
      report.outcome_ok = Text(&report);
    }
    // The probes go on for the settle time: work an attack left queued
    // must not keep others waiting after it ended either.
    std::this_thread::sleep_for(options_.settle);
    watch.Stop();
  }
  report.rss_after_mb = RssMb(options_.pid);
  report.server_alive =
      options_.pid > 0
          ? ProcessAlive(options_.pid)
          : RawSocket::Connect(options_.host, options_.port).valid();
  return report;
}

bool AttackRunner::Trickle(Report* report, const std::string* first_bytes) {
  const bool send_header = first_bytes != nullptr;
  // Every held connection is a descriptor of ours too.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = std::min<rlim_t>(
        limit.rlim_max, static_cast<rlim_t>(options_.connections) + 256);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<RawSocket> sockets;
  sockets.reserve(static_cast<size_t>(options_.connections));
  for (int i = 0; i < options_.connections; ++i) {
    RawSocket s = RawSocket::Connect(options_.host, options_.port);
    if (!s.valid()) break;
    if (send_header) s.SendSome(*first_bytes);
    sockets.push_back(std::move(s));
  }
  const size_t opened = sockets.size();
  size_t closed_by_server = 0;
  const auto end = Clock::now() + options_.hold;
  while (Clock::now() < end) {
    for (RawSocket& s : sockets) {
      if (!s.valid()) continue;
      if (send_header ? !s.Poke() : s.PeerClosed()) {
        s.Close();
        ++closed_by_server;
      }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  report->held_connections = static_cast<int>(opened);
  report->closed_by_server = static_cast<int>(closed_by_server);
  std::ostringstream detail;
  detail << "opened " << opened << " of " << options_.connections
         << ", closed by the server " << closed_by_server;
  report->detail = detail.str();
  // Idle connections are a game server's normal ones: none may be closed.
  return opened > 0 && (send_header || closed_by_server == 0);
}

bool AttackRunner::Flood(Report* report) {
  std::string frames;
  const LeaderboardQuery::Request query =
      TopQuery(options_.leaderboard_id, 100);
  for (int i = 0; i < options_.flood_queries; ++i) {
    Request request =
        NewRequest(Request::kLeaderboardQuery, static_cast<uint64_t>(i) + 1000);
    *request.mutable_leaderboard_query() = query;
    frames += Frame(request);
  }
  std::atomic<int> authenticated{0};
  std::atomic<uint64_t> bytes_sent{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < options_.flood_connections; ++c) {
    threads.emplace_back([&, c] {
      RawSocket s = AuthenticatedSocket(options_, static_cast<uint64_t>(c));
      if (!s.valid()) return;
      ++authenticated;
      // The server stops reading once its in-flight cap is reached; give up
      // writing after a short while and hang up with the rest unsent.
      s.SetTimeouts(std::chrono::milliseconds(2000));
      bytes_sent += s.SendSome(frames);
      // Hang up while the server still holds the work.
      std::this_thread::sleep_for(std::chrono::seconds(1));
    });
  }
  for (auto& t : threads) t.join();
  std::ostringstream detail;
  detail << authenticated.load() << " connections sent "
         << bytes_sent.load() / 1024 << " KiB of "
         << frames.size() * threads.size() / 1024 << " KiB, then hung up";
  report->detail = detail.str();
  return authenticated.load() == options_.flood_connections;
}

bool AttackRunner::Batch(Report* report) {
  LeaderboardQuery::Request all = QueryBuilder::Public(
      options_.leaderboard_id, LeaderboardQuery::kAllTime,
      LeaderboardQuery::Request::kPosition, QueryBuilder::AllRange(),
      QueryBuilder::Account("attack", "batch"));
  // Each repeated field entry costs its size plus a tag and a length byte or
  // three.
  const size_t per_query = all.ByteSizeLong() + 4;
  const std::vector<LeaderboardQuery::Request> batch(
      options_.batch_bytes / per_query, all);
  LeaderboardClient client(ClientOptions(options_));
  if (!client.Connect(options_.host, options_.port) ||
      !client.Authenticate(options_.app_id, options_.key).ok()) {
    report->detail = "could not connect: " + client.LastError();
    return false;
  }
  int refused = 0;
  size_t largest_answer = 0;
  for (int i = 0; i < options_.batch_requests; ++i) {
    const LeaderboardClient::Result result = client.QueryBatch(batch);
    if (result.answered()) {
      largest_answer = std::max(largest_answer, result.response.ByteSizeLong());
      if (result.response.has_fail() &&
          result.response.fail().code() == Response::kFailInvalidParameter) {
        ++refused;
      }
    }
  }
  std::ostringstream detail;
  detail << batch.size() << " whole-ranking queries per batch, " << refused
         << " of " << options_.batch_requests
         << " batches refused, largest answer " << largest_answer << " B";
  report->detail = detail.str();
  return refused == options_.batch_requests;
}

bool AttackRunner::Text(Report* report) {
  LeaderboardClient client(ClientOptions(options_));
  if (!client.Connect(options_.host, options_.port) ||
      !client.Authenticate(options_.app_id, options_.key).ok()) {
    report->detail = "could not connect: " + client.LastError();
    return false;
  }
  const LeaderboardClient::Result result = client.ResetScheduleStatus(
      options_.leaderboard_id, 0, std::string(options_.text_length, '2'));
  const bool invalid =
      result.answered() && result.response.has_fail() &&
      result.response.fail().code() == Response::kFailInvalidParameter;
  report->detail =
      std::string("status query with a ") +
      std::to_string(options_.text_length) + "-character date: " +
      (invalid ? "invalid parameter"
               : (result.answered() ? result.response.ShortDebugString()
                                    : result.error));
  return invalid;
}

namespace {

using AuthResult = Leaderboard::LeaderboardAuthentication::Response;

// One authentication on a new connection: the answer's result, or -1 when
// the server closed the connection (or could not be reached) first.
int AuthenticateOnce(const AttackRunner::Options& options,
                     const std::string& app_id, const std::string& key) {
  LeaderboardClient client(ClientOptions(options));
  if (!client.Connect(options.host, options.port, options.probe_timeout)) {
    return -1;
  }
  const auto result = client.Authenticate(app_id, key, options.probe_timeout);
  return result.answered() && result.response.has_leaderboard_authentication()
             ? result.response.leaderboard_authentication().result()
             : -1;
}

}  // namespace

bool AttackRunner::BadKeys(Report* report) {
  // Each refused alike, whatever was wrong; none may authenticate.
  const std::pair<std::string, std::string> attempts[] = {
      {options_.app_id, ""},
      {options_.app_id, "plk_not-the-key"},
      {options_.app_id, options_.key + "x"},
      {options_.app_id, std::string(64 * 1024, 'k')},
      {options_.app_id + "-other", options_.key},
  };
  int refused = 0;
  for (const auto& [app_id, key] : attempts) {
    if (AuthenticateOnce(options_, app_id, key) ==
        AuthResult::kFailInvalidKey) {
      ++refused;
    }
  }
  // A wrong key, then the right one on the same connection: one try only.
  bool second_refused = false;
  {
    LeaderboardClient client(ClientOptions(options_));
    if (client.Connect(options_.host, options_.port)) {
      client.Authenticate(options_.app_id, "plk_not-the-key");
      const auto again = client.Authenticate(options_.app_id, options_.key);
      second_refused = again.answered() && !again.ok();
    }
  }
  std::ostringstream detail;
  detail << refused << " of " << std::size(attempts)
         << " bad keys refused; the right key after a refusal on the same "
            "connection "
         << (second_refused ? "refused" : "ACCEPTED");
  report->detail = detail.str();
  return refused == static_cast<int>(std::size(attempts)) && second_refused;
}

bool AttackRunner::Guess(Report* report) {
  int refused = 0;
  int closed = 0;
  int accepted = 0;
  for (int i = 0; i < options_.guesses; ++i) {
    const int result = AuthenticateOnce(options_, options_.app_id,
                                        "plk_guess-" + std::to_string(i));
    if (result == AuthResult::kFailInvalidKey) ++refused;
    if (result == AuthResult::kSuccess) ++accepted;
    if (result < 0) ++closed;
  }
  // Past the limit even the right key is refused from this address.
  const int right = AuthenticateOnce(options_, options_.app_id, options_.key);
  std::ostringstream detail;
  detail << options_.guesses << " guesses: " << refused << " refused, "
         << closed << " closed unanswered, " << accepted
         << " accepted; then the right key "
         << (right == AuthResult::kSuccess ? "ACCEPTED" : "refused")
         << " (probes from this address fail while it waits)";
  report->detail = detail.str();
  return accepted == 0 && right != AuthResult::kSuccess;
}

std::string AttackRunner::FormatTable(const std::vector<Report>& reports) {
  std::ostringstream out;
  out << std::left << std::setw(8) << "attack" << std::right << std::setw(10)
      << "rss MB" << std::setw(9) << "peak" << std::setw(9) << "after"
      << std::setw(8) << "probes" << std::setw(7) << "fail" << std::setw(10)
      << "p50 ms" << std::setw(9) << "p99 ms" << std::setw(9) << "max ms"
      << std::setw(7) << "alive" << std::setw(6) << "ok"
      << "  detail\n";
  out << std::fixed;
  for (const Report& r : reports) {
    out << std::left << std::setw(8) << r.attack << std::right
        << std::setprecision(1) << std::setw(10) << r.rss_before_mb
        << std::setw(9) << r.rss_peak_mb << std::setw(9) << r.rss_after_mb
        << std::setw(8) << r.probes << std::setw(7) << r.probe_failures
        << std::setw(10) << r.probe_p50_us / 1000.0 << std::setw(9)
        << r.probe_p99_us / 1000.0 << std::setw(9) << r.probe_max_us / 1000.0
        << std::setw(7) << (r.server_alive ? "yes" : "NO") << std::setw(6)
        << (r.outcome_ok ? "yes" : "NO") << "  " << r.detail << "\n";
  }
  return out.str();
}

}  // namespace plemox

// The TCP server and transports against plain POSIX client sockets over
// loopback: framing, disconnects, concurrent sends, back-pressure and Stop.
#include <arpa/inet.h>
#include <gflags/gflags.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/error.hpp>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "support/test_env.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/net/tcp_admission.h"
#include "vel/net/tcp_limit_counters.h"
#include "vel/net/tcp_server.h"
#include "vel/net/tcp_transport.h"

namespace {

using plemox_test::WaitFor;

constexpr char kGroup[] = "tcp_test";

std::string Frame(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string out = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 8), static_cast<char>(n)};
  return out + body;
}

// A blocking loopback client; every read gives up after ten seconds.
class Client {
 public:
  explicit Client(int port, int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (receive_buffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer,
                   sizeof(receive_buffer));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    connected_ =
        ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~Client() { Close(); }

  bool connected() const { return connected_; }

  bool Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // One frame's body, or nothing on EOF, error or timeout.
  std::optional<std::string> ReadFrame() {
    std::string header;
    if (!ReadExactly(4, &header)) return std::nullopt;
    const auto* p = reinterpret_cast<const unsigned char*>(header.data());
    const std::uint32_t n = (std::uint32_t{p[0]} << 24) |
                            (std::uint32_t{p[1]} << 16) |
                            (std::uint32_t{p[2]} << 8) | p[3];
    std::string body;
    if (!ReadExactly(n, &body)) return std::nullopt;
    return body;
  }

  // Reads and drops everything until the server closes; false on timeout.
  bool WaitClosed() {
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
      if (n == 0) return true;
      if (n < 0) return errno == ECONNRESET;
    }
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  bool ReadExactly(std::size_t size, std::string* out) {
    out->resize(size);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::recv(fd_, &(*out)[done], size - done, 0);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
};

// What the server's connections saw, filled in by their handlers.
struct Recorder {
  std::mutex mutex;
  std::vector<std::string> messages;                   // GUARDED_BY(mutex)
  std::vector<boost::system::error_code> disconnects;  // GUARDED_BY(mutex)
  std::vector<std::weak_ptr<vel::TcpTransport>>
      transports;  // GUARDED_BY(mutex)
  // Set when two receive handler calls of one connection overlap.
  std::atomic<bool> overlapped{false};
  bool echo = true;  // set before connecting
  // Echo from another thread that waits for requests by spinning, so that
  // answers come as soon as a request is handed over, as they may from
  // cache threads.
  bool echo_later = false;
  std::mutex later_mutex;
  std::deque<std::pair<std::shared_ptr<vel::Transport>, vel::Buffer>>
      later;  // GUARDED_BY(later_mutex)
  std::atomic<bool> later_pending{false};
  std::size_t max_pending_send_bytes = 0;           // 0: the default
  std::size_t max_requests_in_flight = 0;           // 0: the default
  std::chrono::milliseconds frame_read_timeout{0};  // 0: the default

  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
  }
  std::vector<boost::system::error_code> Disconnects() {
    std::lock_guard<std::mutex> lock(mutex);
    return disconnects;
  }
  std::shared_ptr<vel::TcpTransport> Transport(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return i < transports.size() ? transports[i].lock() : nullptr;
  }
  bool AllTransportsFreed() {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& t : transports) {
      if (!t.expired()) return false;
    }
    return true;
  }
};

vel::TcpServer::SocketFactory MakeFactory(std::shared_ptr<Recorder> rec) {
  return [rec]() -> std::shared_ptr<vel::SocketBase> {
    auto transport =
        vel::TcpTransport::Create(kGroup, vel::TcpSSLOption::kNullPtr,
                                  vel::TransportCompressor::kNullPtr, true);
    if (rec->max_pending_send_bytes > 0) {
      transport->set_max_pending_send_bytes(rec->max_pending_send_bytes);
    }
    if (rec->max_requests_in_flight > 0) {
      transport->set_max_requests_in_flight(rec->max_requests_in_flight);
    }
    if (rec->frame_read_timeout.count() > 0) {
      transport->set_frame_read_timeout(rec->frame_read_timeout);
    }
    transport->set_disconnect_handler(
        [rec](const std::shared_ptr<vel::Transport>&,
              const boost::system::error_code& ec) {
          std::lock_guard<std::mutex> lock(rec->mutex);
          rec->disconnects.push_back(ec);
        });
    auto in_handler = std::make_shared<std::atomic<int>>(0);
    transport->set_receive_handler(
        [rec, in_handler](const std::shared_ptr<vel::Transport>& t,
                          const vel::Transport::HeaderMap& headers,
                          const vel::Buffer& body) {
          if (in_handler->fetch_add(1) != 0) rec->overlapped = true;
          EXPECT_TRUE(headers.empty());
          {
            std::lock_guard<std::mutex> lock(rec->mutex);
            rec->messages.push_back(body.ToString());
          }
          if (body.ToString() == "close") t->Close();
          if (rec->echo) t->Send(body, 100);
          if (rec->echo_later) {
            std::lock_guard<std::mutex> lock(rec->later_mutex);
            rec->later.emplace_back(t, body);
            rec->later_pending = true;
          }
          in_handler->fetch_sub(1);
        });
    std::lock_guard<std::mutex> lock(rec->mutex);
    rec->transports.push_back(transport);
    return transport->ToSocketBase();
  };
}

class TcpTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { vel::IoService::CreateIoGroup(kGroup, 2); }
  static void TearDownTestSuite() { vel::IoService::StopAll(); }

  void SetUp() override { StartServer(); }

  void StartServer() {
    rec_ = std::make_shared<Recorder>();
    server_ = vel::TcpServer::Create(kGroup, vel::TcpSSLOption::kNullPtr,
                                     MakeFactory(rec_));
    ASSERT_NE(server_, nullptr);
    ASSERT_TRUE(server_->Start(0, "127.0.0.1"));
    port_ = server_->port();
  }

  void TearDown() override {
    server_->Stop();
    // Nothing may outlive its connection: no handler cycles, no leaks.
    EXPECT_TRUE(WaitFor([&] { return rec_->AllTransportsFreed(); }));
    EXPECT_FALSE(rec_->overlapped);
  }

  // Waits until the i-th accepted connection is open and returns it.
  std::shared_ptr<vel::TcpTransport> OpenTransport(std::size_t i) {
    std::shared_ptr<vel::TcpTransport> t;
    EXPECT_TRUE(WaitFor([&] {
      t = rec_->Transport(i);
      return t && t->IsOpen();
    }));
    return t;
  }

  std::shared_ptr<Recorder> rec_;
  std::shared_ptr<vel::TcpServer> server_;
  int port_ = 0;
};

TEST_F(TcpTest, EchoRoundTripIncludingEmptyFrame) {
  Client client(port_);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Write(Frame("hello") + Frame("")));
  EXPECT_EQ(client.ReadFrame(), "hello");
  EXPECT_EQ(client.ReadFrame(), "");
  EXPECT_EQ(rec_->Messages(), (std::vector<std::string>{"hello", ""}));
  EXPECT_EQ(rec_->Transport(0)->peer().rfind("127.0.0.1:", 0), 0u);
}

TEST_F(TcpTest, FramesSplitByteByByteAreReassembled) {
  const std::string big(70000, 'x');  // longer than one read chunk
  const std::string bytes = Frame("abc") + Frame(big) + Frame("z");
  Client client(port_);
  for (char c : bytes) ASSERT_TRUE(client.Write(std::string(1, c)));
  EXPECT_EQ(client.ReadFrame(), "abc");
  EXPECT_EQ(client.ReadFrame(), big);
  EXPECT_EQ(client.ReadFrame(), "z");
  EXPECT_EQ(rec_->Messages(), (std::vector<std::string>{"abc", big, "z"}));
}

TEST_F(TcpTest, ManyFramesInOneWriteArriveInOrder) {
  std::vector<std::string> bodies;
  std::string bytes;
  for (int i = 0; i < 2000; ++i) {
    bodies.push_back(std::to_string(i) + std::string(i % 97, '.'));
    bytes += Frame(bodies.back());
  }
  Client client(port_);
  ASSERT_TRUE(client.Write(bytes));
  for (const auto& body : bodies) ASSERT_EQ(client.ReadFrame(), body);
  EXPECT_EQ(rec_->Messages(), bodies);
}

TEST_F(TcpTest, OversizedFrameClosesWithoutReadingFurther) {
  gflags::FlagSaver saver;
  FLAGS_max_message_size = 1000;
  Client client(port_);
  // A frame of exactly the limit passes; the next one is one byte too long,
  // and the valid frame behind it must not be delivered.
  ASSERT_TRUE(client.Write(Frame(std::string(1000, 'a'))));
  EXPECT_EQ(client.ReadFrame(), std::string(1000, 'a'));
  client.Write(Frame(std::string(1001, 'b')) + Frame("after"));
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return rec_->AllTransportsFreed(); }));
  EXPECT_EQ(rec_->Disconnects(), std::vector<boost::system::error_code>{
                                     boost::asio::error::message_size});
  EXPECT_EQ(rec_->Messages().size(), 1u);
  EXPECT_EQ(server_->connection_count(), 0u);
}

TEST_F(TcpTest, GarbageHeaderIsRefused) {
  Client client(port_);
  ASSERT_TRUE(client.Write("\xff\xff\xff\xff garbage"));
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return rec_->AllTransportsFreed(); }));
  EXPECT_EQ(rec_->Disconnects(), std::vector<boost::system::error_code>{
                                     boost::asio::error::message_size});
  EXPECT_TRUE(rec_->Messages().empty());
}

TEST_F(TcpTest, PeerClosingReportsCleanOrTruncatedEnd) {
  {
    Client clean(port_);
    ASSERT_TRUE(clean.Write(Frame("one")));
    ASSERT_EQ(clean.ReadFrame(), "one");
  }
  {
    Client short_header(port_);
    ASSERT_TRUE(short_header.Write(std::string("\0\0", 2)));
    OpenTransport(1);
  }
  {
    Client mid_frame(port_);
    ASSERT_TRUE(mid_frame.Write(Frame("0123456789").substr(0, 9)));
    OpenTransport(2);
  }
  {
    Client silent(port_);  // never sends a byte
    OpenTransport(3);
  }
  ASSERT_TRUE(WaitFor([&] { return rec_->AllTransportsFreed(); }));
  auto codes = rec_->Disconnects();
  ASSERT_EQ(codes.size(), 4u);
  std::sort(codes.begin(), codes.end(),
            [](const auto& a, const auto& b) { return a.value() < b.value(); });
  // Two ended between frames (0), two inside one (eof).
  EXPECT_EQ(codes[0], boost::system::error_code());
  EXPECT_EQ(codes[1], boost::system::error_code());
  EXPECT_EQ(codes[2], boost::asio::error::eof);
  EXPECT_EQ(codes[3], boost::asio::error::eof);
  EXPECT_EQ(rec_->Messages(), std::vector<std::string>{"one"});
  EXPECT_EQ(server_->connection_count(), 0u);
}

TEST_F(TcpTest, CloseInReceiveHandlerStopsDelivery) {
  Client client(port_);
  ASSERT_TRUE(client.Write(Frame("first") + Frame("close") + Frame("late")));
  EXPECT_EQ(client.ReadFrame(), "first");
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return rec_->AllTransportsFreed(); }));
  EXPECT_EQ(rec_->Messages(), (std::vector<std::string>{"first", "close"}));
  EXPECT_EQ(rec_->Disconnects(), std::vector<boost::system::error_code>{
                                     boost::asio::error::operation_aborted});
}

TEST_F(TcpTest, ConcurrentSendsKeepFramesWholeAndOrdered) {
  rec_->echo = false;
  Client client(port_);
  auto transport = OpenTransport(0);
  ASSERT_NE(transport, nullptr);
  constexpr int kThreads = 4;
  constexpr int kFrames = 500;
  std::vector<std::thread> senders;
  std::atomic<int> refused{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        const std::string body =
            std::to_string(t) + ":" + std::to_string(i) + ":" +
            std::string((i * 37) % 3000, static_cast<char>('a' + t));
        if (!transport->Send(vel::Buffer(body.data(), body.size()), 100)) {
          ++refused;
        }
      }
    });
  }
  std::vector<int> next(kThreads, 0);
  for (int n = 0; n < kThreads * kFrames; ++n) {
    auto body = client.ReadFrame();
    ASSERT_TRUE(body.has_value()) << "after " << n << " frames";
    const auto colon1 = body->find(':');
    const auto colon2 = body->find(':', colon1 + 1);
    ASSERT_NE(colon2, std::string::npos) << *body;
    const int t = std::stoi(body->substr(0, colon1));
    const int i = std::stoi(body->substr(colon1 + 1, colon2 - colon1 - 1));
    ASSERT_TRUE(t >= 0 && t < kThreads) << *body;
    EXPECT_EQ(i, next[t]++);
    EXPECT_EQ(body->substr(colon2 + 1),
              std::string((i * 37) % 3000, static_cast<char>('a' + t)));
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(transport->pending_send_bytes(), 0u);
}

TEST_F(TcpTest, SendAfterDisconnectFailsAndTransportIsFreed) {
  std::weak_ptr<vel::TcpTransport> weak;
  {
    Client client(port_);
    auto transport = OpenTransport(0);
    ASSERT_NE(transport, nullptr);
    weak = transport;
    client.Close();
    ASSERT_TRUE(WaitFor([&] { return rec_->Disconnects().size() == 1; }));
    EXPECT_FALSE(transport->IsOpen());
    EXPECT_FALSE(transport->Send(vel::Buffer("x", 1), 100));
    EXPECT_EQ(transport->pending_send_bytes(), 0u);
  }
  EXPECT_TRUE(WaitFor([&] { return weak.expired(); }));
  EXPECT_EQ(server_->connection_count(), 0u);
}

TEST_F(TcpTest, PeerThatNeverReadsHitsTheSendQueueCap) {
  rec_->echo = false;
  rec_->max_pending_send_bytes = 1 << 20;
  Client client(port_, 4096);
  auto transport = OpenTransport(0);
  ASSERT_NE(transport, nullptr);
  const std::string chunk(64 * 1024, 'q');
  int sent = 0;
  // The kernel buffers absorb a few MiB first; then the queue fills.
  while (sent < 2000 &&
         transport->Send(vel::Buffer(chunk.data(), chunk.size()), 0)) {
    ++sent;
    EXPECT_LE(transport->pending_send_bytes(), 1u << 20);
  }
  EXPECT_LT(sent, 2000);
  EXPECT_FALSE(transport->IsOpen());
  EXPECT_FALSE(transport->Send(vel::Buffer("x", 1), 0));
  transport.reset();
  ASSERT_TRUE(WaitFor([&] { return rec_->AllTransportsFreed(); }));
  EXPECT_EQ(rec_->Disconnects(), std::vector<boost::system::error_code>{
                                     boost::asio::error::no_buffer_space});
}

TEST_F(TcpTest, PeerThatNeverReadsMissesTheSendTimeout) {
  rec_->echo = false;
  Client client(port_, 4096);
  auto transport = OpenTransport(0);
  ASSERT_NE(transport, nullptr);
  const std::string chunk(1 << 20, 'q');
  // Far more than the kernel buffers hold (the peer's is 4 KiB), each frame
  // with a one second timeout; below the queue cap.
  // On a slow machine the first deadline may pass before the loop ends;
  // later sends then fail because the connection is already closed.
  int sent = 0;
  while (sent < 32 &&
         transport->Send(vel::Buffer(chunk.data(), chunk.size()), 1)) {
    ++sent;
  }
  EXPECT_GT(sent, 0);
  transport.reset();
  ASSERT_TRUE(WaitFor([&] { return rec_->AllTransportsFreed(); }));
  EXPECT_EQ(rec_->Disconnects(), std::vector<boost::system::error_code>{
                                     boost::asio::error::timed_out});
}

TEST_F(TcpTest, StartOnPortInUseFails) {
  auto other = vel::TcpServer::Create(kGroup, vel::TcpSSLOption::kNullPtr,
                                      MakeFactory(rec_));
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(other->Start(static_cast<std::uint16_t>(port_), "127.0.0.1"));
  EXPECT_EQ(other->port(), 0);
  EXPECT_FALSE(server_->Start(0, "127.0.0.1"));  // already listening
  EXPECT_FALSE(other->Start(0, "not-an-address"));
  // The listener still serves.
  Client client(port_);
  ASSERT_TRUE(client.Write(Frame("still here")));
  EXPECT_EQ(client.ReadFrame(), "still here");
}

TEST_F(TcpTest, CreateRefusesUnknownGroupAndEmptyFactory) {
  EXPECT_EQ(
      vel::TcpServer::Create("tcp_test_no_such_group",
                             vel::TcpSSLOption::kNullPtr, MakeFactory(rec_)),
      nullptr);
  EXPECT_EQ(vel::TcpServer::Create(kGroup, vel::TcpSSLOption::kNullPtr, {}),
            nullptr);
  EXPECT_EQ(vel::TcpTransport::Create("tcp_test_no_such_group",
                                      vel::TcpSSLOption::kNullPtr,
                                      vel::TransportCompressor::kNullPtr, true),
            nullptr);
}

TEST_F(TcpTest, FactoryWithoutSocketRefusesTheConnection) {
  std::atomic<int> calls{0};
  auto refusing =
      vel::TcpServer::Create(kGroup, vel::TcpSSLOption::kNullPtr,
                             [&calls]() -> std::shared_ptr<vel::SocketBase> {
                               ++calls;
                               return nullptr;
                             });
  ASSERT_TRUE(refusing->Start(0, "127.0.0.1"));
  for (int i = 0; i < 2; ++i) {
    Client client(refusing->port());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.WaitClosed());
  }
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(refusing->connection_count(), 0u);
  refusing->Stop();
}

TEST_F(TcpTest, StopClosesLiveConnectionsAndRefusesNewOnes) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<Client>(port_));
    ASSERT_TRUE(clients.back()->Write(Frame("hi")));
    ASSERT_EQ(clients.back()->ReadFrame(), "hi");
  }
  EXPECT_EQ(server_->connection_count(), 3u);
  server_->Stop();
  server_->Stop();  // idempotent
  for (auto& client : clients) EXPECT_TRUE(client->WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return rec_->AllTransportsFreed(); }));
  EXPECT_EQ(rec_->Disconnects(), std::vector<boost::system::error_code>(
                                     3, boost::asio::error::operation_aborted));
  EXPECT_EQ(server_->connection_count(), 0u);
  EXPECT_FALSE(Client(port_).connected());
  EXPECT_FALSE(server_->Start(static_cast<std::uint16_t>(port_), "127.0.0.1"));
}

TEST_F(TcpTest, DroppingTheServerWithoutStopClosesConnections) {
  Client client(port_);
  ASSERT_TRUE(client.Write(Frame("hi")));
  ASSERT_EQ(client.ReadFrame(), "hi");
  std::weak_ptr<vel::TcpServer> weak = server_;
  server_.reset();
  EXPECT_TRUE(WaitFor([&] { return weak.expired(); }));
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return rec_->AllTransportsFreed(); }));
  EXPECT_EQ(rec_->Disconnects(), std::vector<boost::system::error_code>{
                                     boost::asio::error::operation_aborted});
  StartServer();  // for TearDown
}

}  // namespace

// What one peer can make a connection cost: buffers, time, slots, requests.
TEST_F(TcpTest, HeaderAloneDoesNotReserveItsLength) {
  Client client(port_);
  const std::string big(300000, 'b');
  const std::string frame = Frame(big);
  // The header and a few bytes of a 300 KB frame: the buffer stays small.
  ASSERT_TRUE(client.Write(frame.substr(0, 14)));
  auto t = OpenTransport(0);
  ASSERT_TRUE(WaitFor([&] { return t->read_buffer_bytes() > 0; }));
  EXPECT_LE(t->read_buffer_bytes(), 64u * 1024);
  // Half of it: the buffer is bounded by what arrived, not by the header.
  ASSERT_TRUE(client.Write(frame.substr(14, 150000)));
  ASSERT_TRUE(WaitFor([&] { return t->read_buffer_bytes() >= 128u * 1024; }));
  EXPECT_LE(t->read_buffer_bytes(), 2u * 150014);
  ASSERT_TRUE(client.Write(frame.substr(150014)));
  EXPECT_EQ(client.ReadFrame(), big);
  // Done with the long frame: its memory goes back.
  ASSERT_TRUE(client.Write(Frame("small")));
  EXPECT_EQ(client.ReadFrame(), "small");
  EXPECT_TRUE(WaitFor([&] { return t->read_buffer_bytes() <= 64u * 1024; }));
}

TEST_F(TcpTest, StartedFrameMustArriveWithinTheReadTimeout) {
  server_->Stop();
  StartServer();
  rec_->frame_read_timeout = std::chrono::milliseconds(300);
  const auto timeouts = vel::TcpLimitCounters::frame_read_timeouts();
  Client idle(port_);
  ASSERT_TRUE(idle.Write(Frame("before")));
  EXPECT_EQ(idle.ReadFrame(), "before");
  Client trickler(port_);
  ASSERT_TRUE(trickler.Write(Frame("never finished").substr(0, 6)));
  EXPECT_TRUE(trickler.WaitClosed());
  EXPECT_EQ(vel::TcpLimitCounters::frame_read_timeouts(), timeouts + 1);
  EXPECT_TRUE(WaitFor([&] {
    const auto d = rec_->Disconnects();
    return d.size() == 1 && d[0] == boost::asio::error::timed_out;
  }));
  // A connection idle between frames for longer is not timed.
  ASSERT_TRUE(idle.Write(Frame("after")));
  EXPECT_EQ(idle.ReadFrame(), "after");
}

TEST_F(TcpTest, ConnectionCapRefusesTheNextConnection) {
  server_->set_max_connections(2);
  const auto refused = vel::TcpLimitCounters::refused_connections();
  Client a(port_), b(port_);
  ASSERT_TRUE(a.Write(Frame("a")) && b.Write(Frame("b")));
  EXPECT_EQ(a.ReadFrame(), "a");
  EXPECT_EQ(b.ReadFrame(), "b");
  Client c(port_);
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_EQ(vel::TcpLimitCounters::refused_connections(), refused + 1);
  EXPECT_EQ(server_->connection_count(), 2u);
  // A slot that frees up is used again.
  a.Close();
  ASSERT_TRUE(WaitFor([&] { return server_->connection_count() == 1; }));
  Client d(port_);
  ASSERT_TRUE(d.Write(Frame("d")));
  EXPECT_EQ(d.ReadFrame(), "d");
}

TEST_F(TcpTest, InFlightCapPausesReadingUntilAnswersMakeRoom) {
  rec_->echo = false;
  rec_->max_requests_in_flight = 2;
  const auto pauses = vel::TcpLimitCounters::in_flight_pauses();
  Client client(port_);
  std::string bytes;
  for (int i = 0; i < 5; ++i) bytes += Frame("r" + std::to_string(i));
  ASSERT_TRUE(client.Write(bytes));
  auto t = OpenTransport(0);
  // Paused at two: the other frames stay unread while nobody answers.
  ASSERT_TRUE(WaitFor(
      [&] { return vel::TcpLimitCounters::in_flight_pauses() > pauses; }));
  EXPECT_EQ(rec_->Messages().size(), 2u);
  EXPECT_EQ(t->requests_in_flight(), 2u);
  // One answer lets exactly one more request in.
  ASSERT_TRUE(t->Send(vel::Buffer("x", 1), 100));
  ASSERT_TRUE(WaitFor([&] { return rec_->Messages().size() == 3; }));
  EXPECT_EQ(t->requests_in_flight(), 2u);
  // A request that gets no answer makes room as well.
  t->NoAnswer();
  t->NoAnswer();
  ASSERT_TRUE(WaitFor([&] { return rec_->Messages().size() == 5; }));
  EXPECT_EQ(rec_->Messages(),
            (std::vector<std::string>{"r0", "r1", "r2", "r3", "r4"}));
  EXPECT_EQ(client.ReadFrame(), "x");
}

TEST_F(TcpTest, BeyondTheProcessCapConnectionsTakeTurns) {
  rec_->echo = false;
  vel::TcpAdmission::SetLimit(3);
  const auto waits = vel::TcpLimitCounters::admission_waits();
  Client a(port_);
  std::string bytes;
  for (int i = 0; i < 6; ++i) bytes += Frame("a" + std::to_string(i));
  ASSERT_TRUE(a.Write(bytes));
  auto ta = OpenTransport(0);
  ASSERT_TRUE(WaitFor([&] { return rec_->Messages().size() == 3; }));
  Client b(port_);
  ASSERT_TRUE(b.Write(Frame("b0") + Frame("b1")));
  auto tb = OpenTransport(1);
  // Both wait: the first connection's fourth frame, then the newcomer's.
  ASSERT_TRUE(WaitFor(
      [&] { return vel::TcpLimitCounters::admission_waits() >= waits + 2; }));
  EXPECT_EQ(rec_->Messages().size(), 3u);
  // Each answer hands one turn on, alternating between the two.
  for (std::size_t answered = 1; answered <= 5; ++answered) {
    ASSERT_TRUE(ta->Send(vel::Buffer("x", 1), 100));
    ASSERT_TRUE(
        WaitFor([&] { return rec_->Messages().size() == 3 + answered; }));
  }
  EXPECT_EQ(rec_->Messages(),
            (std::vector<std::string>{"a0", "a1", "a2", "a3", "b0", "a4", "b1",
                                      "a5"}));
  EXPECT_EQ(vel::TcpAdmission::in_progress(), 3u);
  // Closed connections give their unanswered share back.
  a.Close();
  b.Close();
  EXPECT_TRUE(WaitFor([&] { return vel::TcpAdmission::in_progress() == 0; }));
  vel::TcpAdmission::SetLimit(0);
}

TEST_F(TcpTest, AnswerMakingRoomAtTheInFlightCapDoesNotStrandFrames) {
  rec_->echo = false;
  rec_->echo_later = true;
  rec_->max_requests_in_flight = 1;
  std::atomic<bool> stop{false};
  std::thread answerer([&] {
    while (!stop) {
      if (!rec_->later_pending.exchange(false)) continue;
      std::lock_guard<std::mutex> lock(rec_->later_mutex);
      for (auto& [transport, body] : rec_->later) transport->Send(body, 100);
      rec_->later.clear();
    }
  });
  Client client(port_);
  // Each round pipelines a small request and a large one and waits for the
  // answers, as a game server does. The first answer comes while the large
  // request, read with the first and held back by the cap, is still being
  // moved to the front of the buffer: it must be delivered then, not left
  // unread until more bytes come (none do).
  const std::string large(60 * 1024, 'x');
  for (int round = 0; round < 3000; ++round) {
    ASSERT_TRUE(client.Write(Frame(std::to_string(round)) + Frame(large)));
    ASSERT_EQ(client.ReadFrame(), std::to_string(round)) << "round " << round;
    ASSERT_EQ(client.ReadFrame(), large) << "round " << round;
  }
  stop = true;
  answerer.join();
}

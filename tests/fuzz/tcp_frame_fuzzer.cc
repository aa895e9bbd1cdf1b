// Fuzzes the server's frame decoder: the bytes of one connection go through
// a real TcpTransport (over a socket pair, its reads on an I/O group thread)
// and, as the reference, through the client library's FrameCodec. Both must
// split the stream into the same bodies, stop at the same oversized header,
// and end the connection with the code that the stream's tail calls for.
// The input also picks the size limit, the in-flight limit and how each
// frame is answered, so that pausing, resuming and the send path run too.
#include <fuzzer/FuzzedDataProvider.h>
#include <glog/logging.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/frame_codec.h"
#include "fuzz_support.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/net/tcp_transport.h"

namespace {

constexpr char kIoGroup[] = "fuzz_tcp";
constexpr char kAnswer[] = "ok";
constexpr std::uint64_t kLimits[] = {0, 1, 3, 16, 255, 4096, 70000, 1u << 20};

// How the harness answers a delivered frame.
enum class AnswerMode { kSendNow, kNoAnswerNow, kSendLater, kNoAnswerLater };

// What the transport reported, filled on its I/O thread.
struct Observed {
  std::mutex mutex;
  std::condition_variable finished_cv;
  std::vector<std::string> bodies;     // GUARDED_BY(mutex)
  bool finished = false;               // GUARDED_BY(mutex)
  int disconnects = 0;                 // GUARDED_BY(mutex)
  bool received_after_finish = false;  // GUARDED_BY(mutex)
  boost::system::error_code code;      // GUARDED_BY(mutex)
  std::size_t sends = 0;               // GUARDED_BY(mutex); Send calls
};

// The frames FrameCodec finds in `stream`, whether it stopped at an
// oversized header, and whether bytes of an unfinished frame are left.
struct Expected {
  std::vector<std::string> bodies;
  bool too_large = false;
  bool partial = false;
};

Expected Decode(const std::string& stream, std::uint64_t limit) {
  Expected expected;
  plemox::FrameCodec codec(limit);
  codec.Append(stream);
  std::string body;
  for (;;) {
    const auto status = codec.Next(&body);
    if (status == plemox::FrameCodec::Status::kFrame) {
      expected.bodies.push_back(body);
      continue;
    }
    expected.too_large = status == plemox::FrameCodec::Status::kTooLarge;
    expected.partial = !expected.too_large && codec.buffered_size() > 0;
    return expected;
  }
}

void SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;  // libFuzzer's timer signal
    if (n <= 0) return;  // the transport closed first (an oversized header)
    done += static_cast<std::size_t>(n);
  }
}

std::string ReadToEnd(int fd) {
  std::string bytes;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return bytes;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  plemox::fuzz::QuietLogging();
  ::signal(SIGPIPE, SIG_IGN);
  if (!vel::IoService::CreateIoGroup(kIoGroup, 2)) std::abort();
  // The group's threads must be joined before the process exits.
  std::atexit([] { vel::IoService::StopAll(); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::uint64_t limit = input.PickValueInArray(kLimits);
  const std::size_t max_in_flight = input.ConsumeIntegralInRange(0, 4);
  std::vector<AnswerMode> modes;
  for (int i = input.ConsumeIntegralInRange(1, 4); i > 0; --i) {
    modes.push_back(input.PickValueInArray(
        {AnswerMode::kSendNow, AnswerMode::kNoAnswerNow, AnswerMode::kSendLater,
         AnswerMode::kNoAnswerLater}));
  }
  const std::string stream = input.ConsumeRemainingBytesAsString();
  const Expected expected = Decode(stream, limit);

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
  FLAGS_max_message_size = limit;
  auto transport = vel::TcpTransport::Create(
      kIoGroup, vel::TcpSSLOption::kNullPtr, vel::TransportCompressor::kNullPtr,
      /*tcp_nodelay=*/true);
  if (!transport) std::abort();
  transport->set_max_requests_in_flight(max_in_flight);

  auto observed = std::make_shared<Observed>();
  auto context = vel::IoService::GetIoGroup(kIoGroup);
  transport->set_receive_handler(
      [observed, modes, context](const std::shared_ptr<vel::Transport>& self,
                                 const vel::Transport::HeaderMap& headers,
                                 const vel::Buffer& body) {
        std::size_t index;
        {
          std::lock_guard<std::mutex> lock(observed->mutex);
          if (observed->finished) observed->received_after_finish = true;
          index = observed->bodies.size();
          observed->bodies.push_back(body.ToString());
        }
        if (!headers.empty()) std::abort();
        const std::weak_ptr<vel::Transport> later = self;
        // Counted before the call: the answer may be read back before Send
        // returns.
        auto send = [observed](const std::shared_ptr<vel::Transport>& to) {
          {
            std::lock_guard<std::mutex> lock(observed->mutex);
            ++observed->sends;
          }
          to->Send(vel::Buffer(kAnswer, sizeof kAnswer - 1), 0);
        };
        switch (modes[index % modes.size()]) {
          case AnswerMode::kSendNow:
            send(self);
            break;
          case AnswerMode::kNoAnswerNow:
            self->NoAnswer();
            break;
          case AnswerMode::kSendLater:
            boost::asio::post(*context, [later, send] {
              if (auto to = later.lock()) send(to);
            });
            break;
          case AnswerMode::kNoAnswerLater:
            boost::asio::post(*context, [later] {
              if (auto to = later.lock()) to->NoAnswer();
            });
            break;
        }
      });
  transport->set_disconnect_handler(
      [observed](const std::shared_ptr<vel::Transport>&,
                 const boost::system::error_code& code) {
        std::lock_guard<std::mutex> lock(observed->mutex);
        ++observed->disconnects;
        observed->finished = true;
        observed->code = code;
        observed->finished_cv.notify_all();
      });

  boost::asio::ip::tcp::socket socket(*context);
  boost::system::error_code ec;
  socket.assign(boost::asio::ip::tcp::v4(), fds[0], ec);
  if (ec) std::abort();
  transport->Start(std::move(socket), [] {});

  SendAll(fds[1], stream);
  ::shutdown(fds[1], SHUT_WR);
  const std::string answers = ReadToEnd(fds[1]);
  ::close(fds[1]);

  std::unique_lock<std::mutex> lock(observed->mutex);
  observed->finished_cv.wait(lock, [&] { return observed->finished; });
  // Every delivered body is a frame the reference found, in order, and the
  // stream's end decides how many and why the connection ended.
  if (observed->received_after_finish || observed->disconnects != 1) {
    plemox::fuzz::Fail("a body after the disconnect, or not one disconnect");
  }
  if (observed->bodies != expected.bodies) {
    std::size_t same = 0;
    while (same < observed->bodies.size() && same < expected.bodies.size() &&
           observed->bodies[same] == expected.bodies[same]) {
      ++same;
    }
    plemox::fuzz::Fail("delivered " + std::to_string(observed->bodies.size()) +
                       " bodies, expected " +
                       std::to_string(expected.bodies.size()) +
                       ", equal up to " + std::to_string(same) + ", code " +
                       observed->code.message());
  }
  const boost::system::error_code want =
      expected.too_large
          ? boost::system::error_code(boost::asio::error::message_size)
      : expected.partial ? boost::system::error_code(boost::asio::error::eof)
                         : boost::system::error_code();
  if (observed->code != want) {
    plemox::fuzz::Fail("disconnect code " + observed->code.message() +
                       ", expected " + want.message());
  }
  // What came back is whole answer frames, at most one per Send, possibly
  // cut short only where the connection closed.
  const std::string frame = plemox::FrameCodec::EncodeHeader(2) + kAnswer;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    if (answers[i] != frame[i % frame.size()]) {
      plemox::fuzz::Fail("answer bytes corrupted at " + std::to_string(i));
    }
  }
  if (answers.size() / frame.size() > observed->sends) {
    plemox::fuzz::Fail("more answers came back than were sent");
  }
  return 0;
}

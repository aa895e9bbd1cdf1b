// vel::RedisPipeline: RedisReplyReader's command formatting and reply
// parser over the non-blocking streams RedisServer opens.
//
// On a plain stream a sender writes its command straight to the socket under
// the connection's lock (a non-blocking send; only what the socket cannot
// take at once waits for Asio to report it writable). A TLS stream is only
// touched on the connection's strand, so its writes are handed there.
// Everything else, reading replies, timeouts, failures and every callback,
// runs on the connection's strand, so that callbacks keep the order of the
// commands.
#include "vel/redis/redis_pipeline.h"

#include <glog/logging.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "vel/metrics/metrics_registry.h"
#include "vel/redis/internal/redis_cluster.h"
#include "vel/redis/internal/redis_cluster_router.h"
#include "vel/redis/internal/redis_reply_reader.h"
#include "vel/redis/internal/redis_runtime.h"
#include "vel/redis/internal/redis_stream.h"
#include "vel/redis/internal/redis_text.h"

namespace vel {
namespace {

using Clock = std::chrono::steady_clock;

using redis_internal::FormatCommand;
using redis_internal::RedisReplyReader;
using redis_internal::RedisServer;
using redis_internal::RedisStream;

}  // namespace

// One shared connection: its socket, the commands written or waiting to be,
// and the parser of their replies.
class RedisPipeline::Connection
    : public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::shared_ptr<boost::asio::io_context> io, std::string tag,
             std::vector<std::vector<std::string>> preamble,
             std::shared_ptr<RedisServer> node)
      : io_(std::move(io)),
        tag_(std::move(tag)),
        preamble_(std::move(preamble)),
        node_(std::move(node)),
        strand_(boost::asio::make_strand(*io_)),
        timer_(*io_) {}

  // Queues the `count` commands from `commands` with their callbacks (one
  // each, taken) and writes them at once.
  void Send(std::size_t count, const std::vector<std::string>* commands,
            Callback* callbacks);
  void Close();
  // Commands sent and not answered yet.
  std::size_t InFlight() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
  }

 private:
  enum class State { kDisconnected, kConnecting, kReady, kClosed };
  struct Pending {
    Callback callback;
    std::string what;  // the command for log lines
    Clock::time_point since;
    std::uint64_t end = 0;  // queued_ once this command is written
  };
  struct Done {
    Callback callback;
    Redis::Result result = Redis::kConnectionFailure;
    RedisValue reply;
    bool maybe_ran = false;
  };

  void Connect();
  // The rest of Connect once the server has opened `stream` (null: failed
  // for `why`). Strand.
  void OnOpened(std::shared_ptr<RedisServer> server,
                std::shared_ptr<redis_internal::RedisRuntime> runtime,
                std::shared_ptr<RedisStream> stream, std::string why);
  void OnReadable(std::uint64_t generation,
                  const boost::system::error_code& error);
  // Reads of a TLS stream: `got` bytes arrived in its read buffer. Strand.
  void OnTlsRead(std::uint64_t generation,
                 const boost::system::error_code& error, std::size_t got);
  // Takes every complete reply into *done; sets *read_only on a READONLY
  // answer and *why on a protocol error. Holds mutex_.
  void TakeRepliesLocked(std::vector<Done>* done, bool* read_only,
                         std::string* why);
  // After a read: drops the connection on READONLY, reads on otherwise,
  // then runs the callbacks and fails on `why`. Strand.
  void AfterRead(std::uint64_t generation, std::vector<Done>* done,
                 bool read_only, const std::string& why);
  // Writes out_ to a TLS stream, one write at a time. Strand; holds mutex_.
  void WriteTlsLocked();
  void OnTlsWritten(std::uint64_t generation,
                    const boost::system::error_code& error,
                    std::size_t written);
  void OnWritable(std::uint64_t generation,
                  const boost::system::error_code& error);
  void OnTimer(std::uint64_t generation,
               const boost::system::error_code& error);
  // Fails every pending command and drops the socket; the next Send
  // connects again. Strand.
  void Fail(std::uint64_t generation, const std::string& why);
  // Writes what the socket takes; false (with the reason) on a socket
  // error. Holds mutex_.
  bool FlushLocked(std::string* why);
  void StartReadLocked();
  // Calls `handler` on the strand once the socket is ready for `what`, with
  // the socket's generation. Holds mutex_.
  using Handler = void (Connection::*)(std::uint64_t,
                                       const boost::system::error_code&);
  void WaitLocked(boost::asio::socket_base::wait_type what, Handler handler);
  // Whether the server has closed the socket (or it failed), seen without
  // reading anything. Holds mutex_.
  bool PeerClosedLocked();
  // Keeps the timeout sweep running while connected. Holds mutex_.
  void ArmTimerLocked();
  // Puts the preamble's commands ahead of those queued while connecting.
  // Holds mutex_.
  void QueuePreambleLocked();
  // Moves every pending command into *done as a connection failure and
  // forgets the socket. Holds mutex_.
  void DropLocked(std::vector<Done>* done);
  static void RunCallbacks(std::vector<Done>* done);
  // The server of tag_ in `runtime`; null without one.
  std::shared_ptr<RedisServer> PoolOf(
      const std::shared_ptr<redis_internal::RedisRuntime>& runtime) const;

  // First member, so that it is destroyed last: the socket and the timer
  // below need their io_context.
  const std::shared_ptr<boost::asio::io_context> io_;
  const std::string tag_;
  const std::vector<std::vector<std::string>> preamble_;
  // A cluster node's server, used instead of the tag's; null: the tag's.
  const std::shared_ptr<RedisServer> node_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;

  std::mutex mutex_;
  State state_ = State::kDisconnected;  // GUARDED_BY(mutex_)
  // Bumped whenever the socket is dropped, so that handlers of an older
  // socket do nothing.
  std::uint64_t generation_ = 0;              // GUARDED_BY(mutex_)
  std::shared_ptr<RedisStream> socket_;       // "
  std::unique_ptr<RedisReplyReader> reader_;  // "
  // The bytes of the TLS write in flight (out_ goes on filling meanwhile).
  std::string tls_out_;              // GUARDED_BY(mutex_)
  std::deque<Pending> pending_;      // GUARDED_BY(mutex_) oldest first
  std::string out_;                  // GUARDED_BY(mutex_) bytes not written yet
  std::size_t out_offset_ = 0;       // GUARDED_BY(mutex_) written part of out_
  std::uint64_t queued_ = 0;         // GUARDED_BY(mutex_) bytes ever queued
  std::uint64_t written_ = 0;        // GUARDED_BY(mutex_) bytes ever written
  bool write_waiting_ = false;       // GUARDED_BY(mutex_)
  boost::asio::steady_timer timer_;  // GUARDED_BY(mutex_)
  bool timer_armed_ = false;         // GUARDED_BY(mutex_)
  int timeout_ms_ = 1000;            // GUARDED_BY(mutex_)
  // The client set-up the socket was opened under.
  std::weak_ptr<redis_internal::RedisRuntime> runtime_;  // GUARDED_BY(mutex_)
};

void RedisPipeline::Connection::Send(std::size_t count,
                                     const std::vector<std::string>* commands,
                                     Callback* callbacks) {
  std::vector<std::string> formatted;
  formatted.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    formatted.push_back(FormatCommand(commands[i]));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == State::kReady &&
      (runtime_.expired() || (pending_.empty() && PeerClosedLocked()))) {
    // The client was finalised (and maybe set up again, for another
    // server) since this connection was opened, or the server closed the
    // idle connection (a restart, say) and the read side has not seen it
    // yet: connect anew, so that the command is not written into a dead
    // socket and taken for one that may have run.
    std::vector<Done> dropped;
    DropLocked(&dropped);
    boost::asio::post(strand_, [dropped = std::move(dropped)]() mutable {
      RunCallbacks(&dropped);
    });
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<std::string>& args = commands[i];
    Callback& callback = callbacks[i];
    const std::string what =
        args.empty() ? std::string("(empty command)") : args.front();
    if (formatted[i].empty() || state_ == State::kClosed) {
      const Redis::Result result =
          formatted[i].empty() ? Redis::kError : Redis::kConnectionFailure;
      if (formatted[i].empty()) {
        LOG(ERROR) << "Redis command not sent, it cannot be formatted: " << what
                   << ", tag='" << tag_ << "'";
      }
      boost::asio::post(strand_, [callback = std::move(callback), result] {
        callback(result, RedisValue(), false);
      });
      continue;
    }
    queued_ += formatted[i].size();
    pending_.push_back(
        Pending{std::move(callback), what, Clock::now(), queued_});
    if (out_offset_ == out_.size()) {
      out_.clear();
      out_offset_ = 0;
    }
    out_ += formatted[i];
  }
  if (state_ == State::kDisconnected && !pending_.empty()) {
    state_ = State::kConnecting;
    boost::asio::post(strand_,
                      [self = shared_from_this()] { self->Connect(); });
    return;
  }
  if (state_ != State::kReady) return;  // written once connected
  std::string why;
  if (!write_waiting_ && !FlushLocked(&why)) {
    // Failed on the strand, behind the replies it may still deliver.
    write_waiting_ = true;  // no further writes to this socket
    boost::asio::post(
        strand_, [self = shared_from_this(), generation = generation_, why] {
          self->Fail(generation, why);
        });
  }
}

bool RedisPipeline::Connection::FlushLocked(std::string* why) {
  if (socket_->tls() != nullptr) {
    if (out_offset_ == out_.size()) return true;
    write_waiting_ = true;
    if (strand_.running_in_this_thread()) {
      WriteTlsLocked();
    } else {
      boost::asio::post(strand_,
                        [self = shared_from_this(), generation = generation_] {
                          std::lock_guard<std::mutex> lock(self->mutex_);
                          if (generation == self->generation_)
                            self->WriteTlsLocked();
                        });
    }
    return true;
  }
  const int fd = socket_->native_handle();
  while (out_offset_ < out_.size()) {
    const ssize_t sent =
        ::send(fd, out_.data() + out_offset_, out_.size() - out_offset_,
               MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      out_offset_ += static_cast<std::size_t>(sent);
      written_ += static_cast<std::uint64_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      write_waiting_ = true;
      WaitLocked(boost::asio::socket_base::wait_write, &Connection::OnWritable);
      return true;
    }
    *why = std::string("write failed: ") + std::strerror(errno);
    return false;
  }
  out_.clear();
  out_offset_ = 0;
  return true;
}

void RedisPipeline::Connection::OnWritable(
    std::uint64_t generation, const boost::system::error_code& error) {
  std::string why;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    write_waiting_ = false;
    if (!error && FlushLocked(&why)) return;
    if (error) why = "write failed: " + error.message();
  }
  Fail(generation, why);
}

void RedisPipeline::Connection::WriteTlsLocked() {
  tls_out_.assign(out_, out_offset_, std::string::npos);
  out_.clear();
  out_offset_ = 0;
  socket_->AsyncWrite(
      boost::asio::buffer(tls_out_),
      boost::asio::bind_executor(
          strand_, [self = shared_from_this(), generation = generation_,
                    stream = socket_](const boost::system::error_code& error,
                                      std::size_t written) {
            self->OnTlsWritten(generation, error, written);
          }));
}

void RedisPipeline::Connection::OnTlsWritten(
    std::uint64_t generation, const boost::system::error_code& error,
    std::size_t written) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    written_ += written;
    if (!error) {
      write_waiting_ = out_offset_ < out_.size();
      if (write_waiting_) WriteTlsLocked();
      return;
    }
  }
  Fail(generation, "write failed: " + error.message());
}

void RedisPipeline::Connection::Connect() {
  std::shared_ptr<redis_internal::RedisRuntime> runtime =
      redis_internal::CurrentRuntime();
  std::shared_ptr<RedisServer> pool = PoolOf(runtime);
  if (pool == nullptr) {
    OnOpened(nullptr, nullptr, nullptr, "the Redis client is not initialised");
    return;
  }
  pool->Open(io_, [self = shared_from_this(), pool, runtime](
                      std::shared_ptr<RedisStream> stream, std::string why) {
    boost::asio::post(self->strand_,
                      [self, pool, runtime, stream = std::move(stream),
                       why = std::move(why)]() mutable {
                        self->OnOpened(std::move(pool), std::move(runtime),
                                       std::move(stream), std::move(why));
                      });
  });
}

void RedisPipeline::Connection::OnOpened(
    std::shared_ptr<RedisServer> pool,
    std::shared_ptr<redis_internal::RedisRuntime> runtime,
    std::shared_ptr<RedisStream> stream, std::string why) {
  std::vector<Done> done;
  std::string what;
  bool report = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kConnecting && stream != nullptr) {
      socket_ = std::move(stream);
      reader_ = std::make_unique<RedisReplyReader>();
      state_ = State::kReady;
      timeout_ms_ = runtime->timeout_ms;
      runtime_ = runtime;
      QueuePreambleLocked();
      ArmTimerLocked();
      StartReadLocked();
      if (FlushLocked(&why)) {
        if (pool != nullptr) pool->ReportSuccess();
        return;
      }
    }
    report = state_ != State::kClosed;
    if (!pending_.empty()) what = pending_.front().what;
    DropLocked(&done);
  }
  // Closed (Close) while connecting: the new stream is not wanted.
  if (stream != nullptr) stream->Close();
  if (pool != nullptr && report) {
    pool->ReportFailure(what.empty() ? "(connect)" : what, why);
  }
  RunCallbacks(&done);
}

void RedisPipeline::Connection::QueuePreambleLocked() {
  std::string bytes;
  std::deque<Pending> first;
  for (const std::vector<std::string>& args : preamble_) {
    bytes += FormatCommand(args);
    const std::string what = redis_internal::Describe(args);
    first.push_back(Pending{
        [what, tag = tag_](Redis::Result result, RedisValue reply, bool) {
          if (result != Redis::kSuccess &&
              result != Redis::kConnectionFailure) {
            LOG(WARNING) << "Redis refused a command sent on connecting: "
                         << what << ", tag='" << tag
                         << "', error=" << reply.text;
          }
        },
        args.front(), Clock::now(), 0});
  }
  if (bytes.empty()) return;
  // Written ahead of everything queued while connecting.
  std::uint64_t end = written_;
  std::size_t index = 0;
  for (const std::vector<std::string>& args : preamble_) {
    end += FormatCommand(args).size();
    first[index++].end = end;
  }
  for (Pending& pending : pending_) pending.end += bytes.size();
  queued_ += bytes.size();
  out_.insert(out_offset_, bytes);
  for (auto it = first.rbegin(); it != first.rend(); ++it) {
    pending_.push_front(std::move(*it));
  }
}

bool RedisPipeline::Connection::PeerClosedLocked() {
  char byte = 0;
  const ssize_t got =
      ::recv(socket_->native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return got == 0 ||
         (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void RedisPipeline::Connection::StartReadLocked() {
  if (socket_->tls() == nullptr) {
    WaitLocked(boost::asio::socket_base::wait_read, &Connection::OnReadable);
    return;
  }
  socket_->AsyncReadSome(
      boost::asio::buffer(socket_->read_buffer()),
      boost::asio::bind_executor(
          strand_, [self = shared_from_this(), generation = generation_,
                    stream = socket_](const boost::system::error_code& error,
                                      std::size_t got) {
            self->OnTlsRead(generation, error, got);
          }));
}

void RedisPipeline::Connection::WaitLocked(
    boost::asio::socket_base::wait_type what, Handler handler) {
  socket_->socket().async_wait(
      what, boost::asio::bind_executor(
                strand_, [self = shared_from_this(), generation = generation_,
                          handler](const boost::system::error_code& error) {
                  ((*self).*handler)(generation, error);
                }));
}

void RedisPipeline::Connection::OnReadable(
    std::uint64_t generation, const boost::system::error_code& error) {
  std::vector<Done> done;
  std::string why;
  bool read_only = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    if (error) {
      why = "read failed: " + error.message();
    } else {
      std::vector<char>& buffer = socket_->read_buffer();
      for (;;) {
        const ssize_t got = ::recv(socket_->native_handle(), buffer.data(),
                                   buffer.size(), MSG_DONTWAIT);
        if (got > 0) {
          reader_->Feed(buffer.data(), static_cast<std::size_t>(got));
          if (static_cast<std::size_t>(got) < buffer.size()) break;
          continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        why = got == 0 ? std::string("the server closed the connection")
                       : std::string("read failed: ") + std::strerror(errno);
        break;
      }
      TakeRepliesLocked(&done, &read_only, &why);
    }
  }
  AfterRead(generation, &done, read_only, why);
}

void RedisPipeline::Connection::OnTlsRead(
    std::uint64_t generation, const boost::system::error_code& error,
    std::size_t got) {
  std::vector<Done> done;
  std::string why;
  bool read_only = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    reader_->Feed(socket_->read_buffer().data(), got);
    if (error) {
      why = error == boost::asio::error::eof ||
                    error == boost::asio::ssl::error::stream_truncated
                ? std::string("the server closed the connection")
                : "read failed: " + error.message();
    }
    TakeRepliesLocked(&done, &read_only, &why);
  }
  AfterRead(generation, &done, read_only, why);
}

void RedisPipeline::Connection::TakeRepliesLocked(std::vector<Done>* done,
                                                  bool* read_only,
                                                  std::string* why) {
  // Every complete reply answers the oldest pending command.
  for (;;) {
    std::unique_ptr<RedisValue> reply;
    std::string broken;
    if (!reader_->Next(&reply, &broken)) {
      *why = broken;
      return;
    }
    if (reply == nullptr) return;
    if (pending_.empty()) {
      *why = "a reply without a command";
      return;
    }
    Done item;
    item.callback = std::move(pending_.front().callback);
    pending_.pop_front();
    item.maybe_ran = true;
    item.reply = std::move(*reply);
    if (item.reply.type == RedisValue::kError) {
      item.result = Redis::kError;
      // A cluster's redirect is followed, not a failed call (the router
      // counts one it gives up on).
      if (!redis_internal::IsClusterRedirect(item.reply.text)) {
        MetricsRegistry::CountRedisError(MetricsRegistry::kRedisErrorReply);
      }
      // A demoted primary: reconnect (to the primary the Sentinels name)
      // once these replies are delivered.
      if (item.reply.text.compare(0, 8, "READONLY") == 0) *read_only = true;
    } else {
      item.result = Redis::kSuccess;
    }
    done->push_back(std::move(item));
  }
}

void RedisPipeline::Connection::AfterRead(std::uint64_t generation,
                                          std::vector<Done>* done,
                                          bool read_only,
                                          const std::string& why) {
  std::shared_ptr<redis_internal::RedisRuntime> runtime;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) {
      // Dropped meanwhile by a sender (an idle connection the server had
      // closed): these replies still answer their commands.
    } else if (why.empty() && read_only) {
      // A demoted primary answered, so the server is there: no outage. The
      // connection is dropped before any callback runs, so that a caller
      // that repeats its command on the answer reaches the primary the
      // Sentinels name now, not the demoted server again.
      runtime = runtime_.lock();
      DropLocked(done);
    } else if (why.empty()) {
      StartReadLocked();
    }
  }
  if (read_only && why.empty()) {
    std::shared_ptr<RedisServer> pool = PoolOf(runtime);
    if (pool != nullptr) pool->ForgetPrimary("the server answered READONLY");
  }
  RunCallbacks(done);
  if (!why.empty()) Fail(generation, why);
}

void RedisPipeline::Connection::ArmTimerLocked() {
  if (timer_armed_) return;
  timer_armed_ = true;
  // A sweep a few times per timeout rather than a deadline per command,
  // which would cost a timer update (and a wake-up) for every command.
  timer_.expires_after(std::chrono::milliseconds(std::max(1, timeout_ms_ / 4)));
  timer_.async_wait(boost::asio::bind_executor(
      strand_, [self = shared_from_this(), generation = generation_](
                   const boost::system::error_code& error) {
        self->OnTimer(generation, error);
      }));
}

void RedisPipeline::Connection::OnTimer(
    std::uint64_t generation, const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) return;
  std::string why;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    timer_armed_ = false;
    if (state_ != State::kReady) return;
    if (pending_.empty() ||
        Clock::now() <
            pending_.front().since + std::chrono::milliseconds(timeout_ms_)) {
      ArmTimerLocked();
      return;
    }
    why = "no reply within " + std::to_string(timeout_ms_) + " ms to " +
          pending_.front().what;
  }
  Fail(generation, why);
}

void RedisPipeline::Connection::Fail(std::uint64_t generation,
                                     const std::string& why) {
  std::vector<Done> done;
  std::string what;
  bool closing = false;
  std::shared_ptr<redis_internal::RedisRuntime> runtime;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    if (!pending_.empty()) what = pending_.front().what;
    closing = state_ == State::kClosed;
    // The outage is the concern of the set-up the socket belongs to.
    runtime = runtime_.lock();
    DropLocked(&done);
  }
  if (closing) {
    RunCallbacks(&done);
    return;
  }
  std::shared_ptr<RedisServer> pool = PoolOf(runtime);
  if (pool != nullptr) {
    pool->ReportFailure(what.empty() ? "(none in flight)" : what, why);
  }
  RunCallbacks(&done);
}

void RedisPipeline::Connection::DropLocked(std::vector<Done>* done) {
  ++generation_;
  for (Pending& pending : pending_) {
    Done item;
    item.callback = std::move(pending.callback);
    item.maybe_ran = pending.end <= written_;
    done->push_back(std::move(item));
  }
  pending_.clear();
  if (socket_ != nullptr) {
    // A TLS stream lives on in the handlers of its operations until they
    // have seen the close.
    socket_->Close();
    socket_.reset();
  }
  reader_.reset();
  out_.clear();
  out_offset_ = 0;
  written_ = queued_;
  write_waiting_ = false;
  timer_armed_ = false;
  timer_.cancel();
  if (state_ != State::kClosed) state_ = State::kDisconnected;
}

std::shared_ptr<RedisServer> RedisPipeline::Connection::PoolOf(
    const std::shared_ptr<redis_internal::RedisRuntime>& runtime) const {
  if (runtime == nullptr) return nullptr;
  if (node_ != nullptr) return node_;
  Redis::Result failure = Redis::kConnectionFailure;
  return redis_internal::FindServer(runtime, tag_, {"(pipeline)"}, &failure);
}

void RedisPipeline::Connection::RunCallbacks(std::vector<Done>* done) {
  for (Done& item : *done) {
    if (!item.callback) continue;
    item.callback(item.result, std::move(item.reply), item.maybe_ran);
  }
}

void RedisPipeline::Connection::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = State::kClosed;
  boost::asio::post(strand_,
                    [self = shared_from_this(), generation = generation_] {
                      self->Fail(generation, "the pipeline is closed");
                    });
}

RedisPipeline::RedisPipeline(std::shared_ptr<boost::asio::io_context> io,
                             std::string tag, std::size_t connections,
                             std::vector<std::vector<std::string>> on_connect)
    : lanes_(connections == 0 ? 1 : connections) {
  std::shared_ptr<redis_internal::RedisCluster> cluster =
      redis_internal::RedisCluster::Of(tag);
  if (cluster != nullptr) {
    router_ = std::make_shared<redis_internal::RedisClusterRouter>(
        std::move(io), std::move(tag), lanes_, std::move(on_connect),
        std::move(cluster));
    return;
  }
  for (std::size_t i = 0; i < lanes_; ++i) {
    connections_.push_back(
        std::make_shared<Connection>(io, tag, on_connect, nullptr));
  }
}

RedisPipeline::RedisPipeline(std::shared_ptr<boost::asio::io_context> io,
                             std::string tag, std::size_t connections,
                             std::vector<std::vector<std::string>> on_connect,
                             std::shared_ptr<redis_internal::RedisServer> node)
    : lanes_(connections == 0 ? 1 : connections) {
  for (std::size_t i = 0; i < lanes_; ++i) {
    connections_.push_back(
        std::make_shared<Connection>(io, tag, on_connect, node));
  }
}

RedisPipeline::~RedisPipeline() { Close(); }

void RedisPipeline::Send(std::size_t lane, const std::vector<std::string>& args,
                         Callback callback) {
  if (router_ != nullptr) {
    router_->Send(lane, args, std::move(callback));
    return;
  }
  connections_[lane % connections_.size()]->Send(1, &args, &callback);
}

void RedisPipeline::SendAll(std::size_t lane, const Commands& commands,
                            std::vector<Callback> callbacks) {
  if (router_ != nullptr) {
    router_->SendAll(lane, commands, std::move(callbacks));
    return;
  }
  connections_[lane % connections_.size()]->Send(
      std::min(commands.size(), callbacks.size()), commands.data(),
      callbacks.data());
}

std::size_t RedisPipeline::InFlight(std::size_t lane) const {
  return lane < connections_.size() ? connections_[lane]->InFlight() : 0;
}

std::size_t RedisPipeline::LeastBusyLane() const {
  if (router_ != nullptr) return router_->LeastBusyLane();
  std::size_t best = 0;
  std::size_t best_in_flight = SIZE_MAX;
  for (std::size_t lane = 0; lane < connections_.size(); ++lane) {
    const std::size_t in_flight = connections_[lane]->InFlight();
    if (in_flight < best_in_flight) {
      best = lane;
      best_in_flight = in_flight;
      if (in_flight == 0) break;
    }
  }
  return best;
}

void RedisPipeline::Close() {
  if (router_ != nullptr) router_->Close();
  for (const std::shared_ptr<Connection>& connection : connections_) {
    connection->Close();
  }
}

}  // namespace vel

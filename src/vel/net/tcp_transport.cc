#include "vel/net/tcp_transport.h"

#include <glog/logging.h>

#include <algorithm>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>
#include <cstring>
#include <limits>
#include <utility>

#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/net/tcp_limit_counters.h"
#include "vel/net/tcp_tls.h"

namespace vel {
namespace {

constexpr std::size_t kHeaderSize = 4;
// The read buffer starts at kInitialReadBuffer and doubles while reads fill
// it, up to kReadChunk or the length of a longer frame being assembled.
constexpr std::size_t kInitialReadBuffer = 4 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// Writev takes at most this many pieces per call (two per frame).
constexpr std::size_t kMaxWritePieces = 64;

std::uint32_t DecodeLength(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
         (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

const Transport::HeaderMap& NoHeaders() {
  static const Transport::HeaderMap kEmpty;
  return kEmpty;
}

}  // namespace

std::shared_ptr<TcpTransport> TcpTransport::Create(
    const std::string& io_group_name, TcpSSLOption /*ssl_option*/,
    TransportCompressor /*compressor*/, bool tcp_nodelay) {
  auto context = IoService::GetIoGroup(io_group_name);
  if (!context) {
    LOG(ERROR) << "TcpTransport::Create() failed: no such I/O group"
               << ": io group=" << io_group_name;
    return nullptr;
  }
  const std::uint64_t max_message_size = std::min<std::uint64_t>(
      FLAGS_max_message_size, std::numeric_limits<std::uint32_t>::max());
  // The constructor is private; make_shared cannot reach it.
  return std::shared_ptr<TcpTransport>(
      new TcpTransport(std::move(context), tcp_nodelay, max_message_size));
}

TcpTransport::TcpTransport(std::shared_ptr<boost::asio::io_context> context,
                           bool tcp_nodelay, std::uint64_t max_message_size)
    : context_(std::move(context)),
      strand_(boost::asio::make_strand(*context_)),
      tcp_nodelay_(tcp_nodelay),
      max_message_size_(max_message_size),
      socket_(*context_),
      deadline_timer_(*context_),
      read_timer_(*context_),
      max_requests_in_flight_(
          static_cast<std::size_t>(std::max(FLAGS_max_requests_in_flight, 0))),
      frame_read_timeout_(
          std::chrono::seconds(std::max(FLAGS_frame_read_timeout_seconds, 0))) {
}

TcpTransport::~TcpTransport() {
  VLOG(2) << "TcpTransport freed: peer=" << peer_;
}

std::shared_ptr<SocketBase> TcpTransport::ToSocketBase() {
  return shared_from_this();
}

bool TcpTransport::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == State::kOpen;
}

std::string TcpTransport::peer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peer_;
}

std::string TcpTransport::peer_certificate_subject() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peer_subject_;
}

void TcpTransport::set_max_pending_send_bytes(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  max_pending_send_bytes_ = bytes;
}

std::size_t TcpTransport::pending_send_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_send_bytes_;
}

void TcpTransport::Start(boost::asio::ip::tcp::socket&& peer,
                         ClosedCallback on_closed) {
  on_closed_ = std::move(on_closed);
  boost::system::error_code ec;
  // The accepted socket belongs to the server's group; its descriptor moves
  // to this transport's own socket so that everything runs on our group.
  const auto local = peer.local_endpoint(ec);
  const auto protocol = ec ? boost::asio::ip::tcp::v4() : local.protocol();
  const auto remote = peer.remote_endpoint(ec);
  std::string peer_text = "-";
  if (!ec) {
    peer_text =
        remote.address().to_string() + ":" + std::to_string(remote.port());
  }

  {
    std::lock_guard<std::mutex> lock(mutex_);
    peer_ = peer_text;
    if (state_ == State::kClosed) {
      // Closed while the server was handing the connection over.
      peer.close(ec);
    } else {
      state_ = State::kOpen;
      boost::system::error_code assign_ec;
      const auto fd = peer.release(assign_ec);
      if (!assign_ec) socket_.assign(protocol, fd, assign_ec);
      if (assign_ec) {
        LOG(WARNING) << "TcpTransport cannot take over the accepted socket: "
                     << assign_ec.message() << ": peer=" << peer_;
        CloseLocked(assign_ec);
      } else {
        if (tcp_nodelay_) {
          socket_.set_option(boost::asio::ip::tcp::no_delay(true), ec);
          if (ec) {
            VLOG(1) << "TcpTransport cannot set TCP_NODELAY: " << ec.message()
                    << ": peer=" << peer_;
          }
        }
        read_buffer_.resize(kInitialReadBuffer);
        VLOG(1) << "TcpTransport opened: peer=" << peer_;
        if (tls_context_) {
          // Nothing else touches the stream before the handshake's
          // completion, which runs on the strand.
          tls_ = std::make_unique<
              boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>>(
              socket_, *tls_context_);
          handshaking_ = true;
          if (frame_read_timeout_.count() > 0) {
            read_deadline_ = Clock::now() + frame_read_timeout_;
            ArmReadTimerLocked();
          }
          tls_->async_handshake(
              boost::asio::ssl::stream_base::server,
              boost::asio::bind_executor(
                  strand_, [self = shared_from_this()](
                               const boost::system::error_code& error) {
                    self->OnHandshake(error);
                  }));
          return;
        }
        ReadLocked();
        return;
      }
    }
  }
  PostFinish();
}

void TcpTransport::set_tls(std::shared_ptr<boost::asio::ssl::context> context) {
  std::lock_guard<std::mutex> lock(mutex_);
  tls_context_ = std::move(context);
}

void TcpTransport::OnHandshake(const boost::system::error_code& ec) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handshaking_ = false;
    if (state_ == State::kOpen && ec) {
      // A plain TCP peer, an old TLS version, a refused client certificate
      // or a peer that hung up: each costs what a refused frame costs.
      TcpLimitCounters::CountTlsHandshakeFailure();
      LOG_EVERY_N(WARNING, 100)
          << "Closing the connection: the TLS handshake failed: "
          << ec.message() << ": peer=" << peer_ << " (logged 1 in 100, "
          << google::COUNTER << " so far)";
      CloseLocked(ec);
    } else if (state_ == State::kOpen) {
      read_deadline_ = Clock::time_point::max();
      peer_subject_ = TcpTls::VerifiedPeerSubject(tls_->native_handle());
      VLOG(1) << "TcpTransport TLS handshake done: peer=" << peer_
              << ", client certificate subject="
              << (peer_subject_.empty() ? "-" : peer_subject_);
      ReadLocked();
      return;
    }
  }
  Finish();
}

void TcpTransport::ReadLocked() {
  if (reading_) return;
  reading_ = true;
  auto buffer = boost::asio::buffer(read_buffer_.data() + read_end_,
                                    read_buffer_.size() - read_end_);
  auto handler = boost::asio::bind_executor(
      strand_,
      [self = shared_from_this()](const boost::system::error_code& ec,
                                  std::size_t n) { self->OnRead(ec, n); });
  if (tls_) {
    tls_->async_read_some(buffer, std::move(handler));
  } else {
    socket_.async_read_some(buffer, std::move(handler));
  }
}

std::size_t TcpTransport::PartialFrameSize() const {
  if (read_end_ < kHeaderSize) return 0;
  return kHeaderSize + DecodeLength(read_buffer_.data());
}

void TcpTransport::OnRead(const boost::system::error_code& ec,
                          std::size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = false;
  }
  if (ec) {
    // A TLS peer that hangs up without close_notify ends like a plain one.
    OnReadFailed(ec == boost::asio::ssl::error::stream_truncated
                     ? boost::asio::error::eof
                     : ec);
    return;
  }
  read_end_ += bytes;
  Deliver();
}

bool TcpTransport::InFlightFullLocked() const {
  return max_requests_in_flight_ > 0 &&
         requests_in_flight_ >= max_requests_in_flight_;
}

void TcpTransport::Deliver() {
  const auto self = shared_from_this();
  const std::shared_ptr<Transport> as_transport = self;
  std::size_t pos = 0;
  bool stopped_at_limit = false;
  while (read_end_ - pos >= kHeaderSize) {
    const std::uint32_t length = DecodeLength(read_buffer_.data() + pos);
    if (length > max_message_size_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        LOG(WARNING) << "Closing the connection: the frame is longer than "
                        "max_message_size: peer="
                     << peer_ << ", length=" << length
                     << ", max_message_size=" << max_message_size_;
        CloseLocked(boost::asio::error::message_size);
      }
      Finish();
      return;
    }
    if (read_end_ - pos - kHeaderSize < length) break;
    {
      // A whole frame waits while the peer has enough unanswered ones; it is
      // delivered when an answer makes room.
      std::lock_guard<std::mutex> lock(mutex_);
      if (InFlightFullLocked()) {
        stopped_at_limit = true;
        break;
      }
      // Beyond the process-wide cap, connections take turns: this one is
      // handed its turn later.
      if (!TcpAdmission::Admit(self)) {
        waiting_for_turn_ = true;
        if (!turn_logged_) {
          turn_logged_ = true;
          LOG(INFO) << "The connection waits for its turn: "
                       "max_requests_in_progress requests of all connections "
                       "are being handled: peer="
                    << peer_;
        }
        break;
      }
      waiting_for_turn_ = false;
      ++requests_in_flight_;
    }
    if (receive_handler_) {
      receive_handler_(as_transport, NoHeaders(),
                       Buffer(read_buffer_.data() + pos + kHeaderSize, length));
    }
    pos += kHeaderSize + length;
    // The handler may have closed the connection; deliver nothing more.
    if (!IsOpen()) {
      Finish();
      return;
    }
  }

  // Keep the unfinished frame at the front.
  if (pos > 0) {
    std::memmove(read_buffer_.data(), read_buffer_.data() + pos,
                 read_end_ - pos);
    read_end_ -= pos;
  }
  // The buffer grows with the bytes that arrive, doubling when full, up to
  // the frame being assembled: a header alone cannot make it large.
  const std::size_t frame_size = PartialFrameSize();
  const std::size_t wanted = std::max(kReadChunk, frame_size);
  if (read_end_ == read_buffer_.size() && read_buffer_.size() < wanted) {
    read_buffer_.resize(std::min(wanted, read_buffer_.size() * 2));
  } else if (read_buffer_.size() > kReadChunk && frame_size <= kReadChunk) {
    // A long frame is done: give its memory back.
    read_buffer_.resize(std::max(kReadChunk, read_end_));
    read_buffer_.shrink_to_fit();
  }

  read_buffer_bytes_ = read_buffer_.capacity();

  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kOpen) {
    // Closed from another thread; the posted Finish may not have run yet.
    boost::asio::post(strand_, [self] { self->Finish(); });
    return;
  }
  if (InFlightFullLocked()) {
    // Not read until answers make room; the peer is waiting for us, so its
    // unfinished frame is not timed meanwhile.
    paused_ = true;
    read_deadline_ = Clock::time_point::max();
    TcpLimitCounters::CountInFlightPause();
    if (!in_flight_logged_) {
      in_flight_logged_ = true;
      LOG(WARNING) << "Pausing reads of the connection: "
                      "max_requests_in_flight requests are unanswered: peer="
                   << peer_
                   << ", max_requests_in_flight=" << max_requests_in_flight_;
    }
    return;
  }
  if (waiting_for_turn_) {
    // Read on when the turn comes; the frames are whole, nothing is timed.
    read_deadline_ = Clock::time_point::max();
    return;
  }
  if (stopped_at_limit) {
    // An answer made room after the loop stopped at the limit. The frames
    // still buffered go first: reading now could meet the peer's end of
    // stream (it may have sent everything and wait for the answers) and
    // drop them unseen.
    boost::asio::post(strand_, [self] {
      if (self->IsOpen()) self->Deliver();
    });
    return;
  }
  if (read_end_ == 0) {
    read_deadline_ = Clock::time_point::max();
  } else if ((pos > 0 || read_deadline_ == Clock::time_point::max()) &&
             frame_read_timeout_.count() > 0) {
    // A new frame has started: it must be whole within the read timeout.
    read_deadline_ = Clock::now() + frame_read_timeout_;
    if (!read_timer_armed_) ArmReadTimerLocked();
  }
  ReadLocked();
}

void TcpTransport::ArmReadTimerLocked() {
  read_timer_armed_ = true;
  read_timer_.expires_at(read_deadline_);
  read_timer_.async_wait(boost::asio::bind_executor(
      strand_,
      [self = shared_from_this()](const boost::system::error_code& ec) {
        self->OnReadDeadline(ec);
      }));
}

void TcpTransport::OnReadDeadline(const boost::system::error_code& ec) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    read_timer_armed_ = false;
    if (ec == boost::asio::error::operation_aborted) return;
    if (state_ != State::kOpen || read_deadline_ == Clock::time_point::max()) {
      return;
    }
    if (Clock::now() < read_deadline_) {
      // The frame that set the wait is done; a later one is being read.
      ArmReadTimerLocked();
      return;
    }
    TcpLimitCounters::CountFrameReadTimeout();
    if (handshaking_) {
      TcpLimitCounters::CountTlsHandshakeFailure();
      LOG_EVERY_N(WARNING, 100)
          << "Closing the connection: the TLS handshake did not finish "
             "within the frame read timeout: peer="
          << peer_ << ", timeout ms=" << frame_read_timeout_.count()
          << " (logged 1 in 100)";
    } else {
      LOG(WARNING) << "Closing the connection: a started frame did not "
                      "arrive whole within the frame read timeout: peer="
                   << peer_ << ", unread bytes=" << read_end_
                   << ", timeout ms=" << frame_read_timeout_.count();
    }
    CloseLocked(boost::asio::error::timed_out);
  }
  Finish();
}

void TcpTransport::AnswerSentLocked() {
  if (requests_in_flight_ > 0) {
    --requests_in_flight_;
    // A closed connection gave its share back when it closed.
    if (state_ == State::kOpen) TcpAdmission::Release(1);
  }
  if (paused_ && !InFlightFullLocked()) {
    paused_ = false;
    boost::asio::post(strand_, [self = shared_from_this()] {
      if (self->IsOpen()) self->Deliver();
    });
  }
}

void TcpTransport::NoAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  AnswerSentLocked();
}

void TcpTransport::set_max_requests_in_flight(std::size_t max_requests) {
  std::lock_guard<std::mutex> lock(mutex_);
  max_requests_in_flight_ = max_requests;
}

void TcpTransport::set_frame_read_timeout(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  frame_read_timeout_ = timeout;
}

std::size_t TcpTransport::requests_in_flight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_in_flight_;
}

void TcpTransport::OnReadFailed(const boost::system::error_code& ec) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kOpen) {
      if (ec == boost::asio::error::eof && read_end_ == 0) {
        VLOG(1) << "TcpTransport closed by the peer: peer=" << peer_;
        CloseLocked(boost::system::error_code());
      } else if (ec == boost::asio::error::eof) {
        LOG(WARNING) << "The peer closed the connection inside a frame: peer="
                     << peer_ << ", unread bytes=" << read_end_;
        CloseLocked(ec);
      } else {
        VLOG(1) << "TcpTransport read failed: " << ec.message()
                << ": peer=" << peer_;
        CloseLocked(ec);
      }
    }
  }
  Finish();
}

bool TcpTransport::Send(Buffer body, int timeout_seconds) {
  const std::size_t body_size = body.GetReadableSize();
  if (body_size > std::numeric_limits<std::uint32_t>::max()) {
    LOG(ERROR) << "TcpTransport::Send() failed: the body does not fit a "
                  "frame: size="
               << body_size;
    return false;
  }
  Frame frame;
  frame.header = {static_cast<std::uint8_t>(body_size >> 24),
                  static_cast<std::uint8_t>(body_size >> 16),
                  static_cast<std::uint8_t>(body_size >> 8),
                  static_cast<std::uint8_t>(body_size)};
  frame.body = std::move(body);
  frame.deadline = timeout_seconds > 0
                       ? Clock::now() + std::chrono::seconds(timeout_seconds)
                       : Clock::time_point::max();
  const std::size_t frame_size = frame.size();

  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kOpen) return false;
    if (!send_queue_.empty() &&
        pending_send_bytes_ + frame_size > max_pending_send_bytes_) {
      LOG(WARNING) << "Closing the connection: the peer does not read and "
                      "the send queue is full: peer="
                   << peer_ << ", pending bytes=" << pending_send_bytes_
                   << ", frame bytes=" << frame_size
                   << ", max pending bytes=" << max_pending_send_bytes_;
      CloseLocked(boost::asio::error::no_buffer_space);
    } else {
      if (frame.deadline != Clock::time_point::max()) {
        deadlines_.insert(frame.deadline);
      }
      send_queue_.push_back(std::move(frame));
      pending_send_bytes_ += frame_size;
      AnswerSentLocked();
      if (!writing_) WriteLocked();
      ArmDeadlineLocked();
      return true;
    }
  }
  PostFinish();
  return false;
}

void TcpTransport::WriteTls() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kOpen) {
    writing_ = false;
    ReleaseSendQueueLocked();
    return;
  }
  // The queued frames in one piece (up to a chunk), so that TLS makes a few
  // full records of them rather than one per header and body.
  tls_write_bytes_.clear();
  std::size_t skip = front_written_;
  for (const Frame& frame : send_queue_) {
    if (tls_write_bytes_.size() >= kReadChunk) break;
    const char* header = reinterpret_cast<const char*>(frame.header.data());
    const char* body =
        reinterpret_cast<const char*>(frame.body.GetReadableBuffer());
    const std::pair<const char*, std::size_t> parts[2] = {
        {header, frame.header.size()}, {body, frame.body.GetReadableSize()}};
    for (const auto& [data, size] : parts) {
      if (skip >= size) {
        skip -= size;
        continue;
      }
      tls_write_bytes_.append(data + skip, size - skip);
      skip = 0;
    }
  }
  boost::asio::async_write(
      *tls_, boost::asio::buffer(tls_write_bytes_),
      boost::asio::bind_executor(
          strand_, [self = shared_from_this()](
                       const boost::system::error_code& ec, std::size_t n) {
            self->OnWrite(ec, n);
          }));
}

void TcpTransport::WriteLocked() {
  if (tls_) {
    // The TLS state is the strand's alone.
    writing_ = true;
    boost::asio::post(strand_,
                      [self = shared_from_this()] { self->WriteTls(); });
    return;
  }
  std::vector<boost::asio::const_buffer> pieces;
  pieces.reserve(kMaxWritePieces);
  for (;;) {
    pieces.clear();
    std::size_t skip = front_written_;
    for (const Frame& frame : send_queue_) {
      if (pieces.size() + 2 > kMaxWritePieces) break;
      const boost::asio::const_buffer parts[2] = {
          boost::asio::buffer(frame.header),
          boost::asio::buffer(frame.body.GetReadableBuffer(),
                              frame.body.GetReadableSize())};
      for (const auto& part : parts) {
        if (skip >= part.size()) {
          skip -= part.size();
          continue;
        }
        pieces.push_back(part + skip);
        skip = 0;
      }
    }
    // First writes that do not wait, from the sender's thread: usually the
    // socket takes the whole answer, and no I/O thread has to wake up to
    // finish the write. Errors are met again, and handled, by the
    // asynchronous write.
    boost::system::error_code ec;
    if (!socket_.non_blocking()) socket_.non_blocking(true, ec);
    const std::size_t written = ec ? 0 : socket_.write_some(pieces, ec);
    if (!ec) {
      ConsumeWrittenLocked(written);
      if (send_queue_.empty()) return;
      if (written > 0) continue;
    }
    break;
  }
  writing_ = true;
  socket_.async_write_some(
      pieces, boost::asio::bind_executor(
                  strand_, [self = shared_from_this()](
                               const boost::system::error_code& ec,
                               std::size_t n) { self->OnWrite(ec, n); }));
}

void TcpTransport::ConsumeWrittenLocked(std::size_t bytes) {
  while (bytes > 0) {
    const Frame& front = send_queue_.front();
    const std::size_t left = front.size() - front_written_;
    if (bytes < left) {
      front_written_ += bytes;
      break;
    }
    bytes -= left;
    pending_send_bytes_ -= front.size();
    if (front.deadline != Clock::time_point::max()) {
      deadlines_.erase(deadlines_.find(front.deadline));
    }
    send_queue_.pop_front();
    front_written_ = 0;
  }
}

void TcpTransport::OnWrite(const boost::system::error_code& ec,
                           std::size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = false;
    if (state_ == State::kOpen && !ec) {
      ConsumeWrittenLocked(bytes);
      if (!send_queue_.empty()) WriteLocked();
      ArmDeadlineLocked();
      return;
    }
    if (state_ == State::kOpen) {
      VLOG(1) << "TcpTransport write failed: " << ec.message()
              << ": peer=" << peer_;
      CloseLocked(ec);
    } else {
      // The buffers the write used may go now.
      ReleaseSendQueueLocked();
    }
  }
  Finish();
}

void TcpTransport::ArmDeadlineLocked() {
  const Clock::time_point earliest =
      deadlines_.empty() ? Clock::time_point::max() : *deadlines_.begin();
  // Only an earlier deadline moves the wait. A wait for a deadline already
  // met stays armed and, when it fires, waits on for the earliest one left:
  // moving or cancelling it for every frame would cost a timer update and a
  // wake-up per answer.
  if (earliest >= armed_deadline_) return;
  armed_deadline_ = earliest;
  deadline_timer_.expires_at(earliest);
  deadline_timer_.async_wait(boost::asio::bind_executor(
      strand_,
      [self = shared_from_this()](const boost::system::error_code& ec) {
        self->OnSendDeadline(ec);
      }));
}

void TcpTransport::OnSendDeadline(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kOpen) return;
    if (deadlines_.empty() || *deadlines_.begin() > Clock::now()) {
      // Woken for a deadline that has since been met; wait for the next.
      armed_deadline_ = Clock::time_point::max();
      ArmDeadlineLocked();
      return;
    }
    LOG(WARNING) << "Closing the connection: the peer has not taken a frame "
                    "within its send timeout: peer="
                 << peer_ << ", pending bytes=" << pending_send_bytes_;
    CloseLocked(boost::asio::error::timed_out);
  }
  Finish();
}

void TcpTransport::Close() {
  bool finish;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finish = CloseLocked(boost::asio::error::operation_aborted);
  }
  if (finish) PostFinish();
}

bool TcpTransport::CloseLocked(const boost::system::error_code& reason) {
  if (state_ == State::kClosed) return false;
  const bool was_open = state_ == State::kOpen;
  state_ = State::kClosed;
  close_reason_ = reason;
  TcpAdmission::Leave(this, requests_in_flight_);
  if (was_open && tls_) {
    // The TLS operations run on the strand; the socket closes there too.
    boost::asio::post(strand_, [self = shared_from_this()] {
      std::lock_guard<std::mutex> lock(self->mutex_);
      boost::system::error_code ignored;
      self->socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both,
                             ignored);
      self->socket_.close(ignored);
    });
  } else if (was_open) {
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }
  if (was_open) {
    deadline_timer_.cancel();
    armed_deadline_ = Clock::time_point::max();
    read_timer_.cancel();
  }
  if (!writing_) ReleaseSendQueueLocked();
  return was_open;
}

void TcpTransport::ReleaseSendQueueLocked() {
  send_queue_.clear();
  deadlines_.clear();
  front_written_ = 0;
  pending_send_bytes_ = 0;
}

void TcpTransport::PostFinish() {
  boost::asio::post(strand_, [self = shared_from_this()] { self->Finish(); });
}

void TcpTransport::Finish() {
  if (finished_) return;
  finished_ = true;
  boost::system::error_code reason;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reason = close_reason_;
    VLOG(1) << "TcpTransport closed: peer=" << peer_
            << ", reason=" << reason.message();
  }
  // Take the handlers out first: they may hold the last reference to
  // whatever owns this transport, and are not needed again.
  DisconnectHandler on_disconnect = std::move(disconnect_handler_);
  disconnect_handler_ = nullptr;
  receive_handler_ = nullptr;
  ClosedCallback on_closed = std::move(on_closed_);
  on_closed_ = nullptr;
  if (on_disconnect) on_disconnect(shared_from_this(), reason);
  if (on_closed) on_closed();
}

}  // namespace vel

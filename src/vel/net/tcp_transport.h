// A Transport over one TCP connection with length-prefixed framing: every
// message is a 4-byte unsigned big-endian body length followed by the body.
//
// Threads: the connection runs on the I/O group named at Create; its reads,
// its receive and disconnect handlers and its write completions all run on
// one strand of that group, so they never overlap. Send, Close, IsOpen and
// peer may be called from any thread.
//
// With TLS (set_tls) the connection first runs the server side of the TLS
// handshake, bounded by the frame read timeout, then frames as above inside
// TLS; the subject of a verified client certificate is kept for
// peer_certificate_subject. Every operation on the TLS state runs on the
// strand: writes are handed to it (no write from the sender's thread) and so is
// the closing of the socket.
//
// Disconnect codes (the error code given to the disconnect handler):
//   0                                 the peer closed between two frames
//   boost::asio::error::eof           the peer closed inside a frame
//   boost::asio::error::message_size  a frame longer than the limit arrived
//   boost::asio::error::no_buffer_space  the send queue outgrew its cap
//   boost::asio::error::timed_out     a queued frame missed its send timeout,
//                                     or a started frame its read timeout
//   boost::asio::error::operation_aborted  closed locally (Close, server Stop)
//   anything else                     the socket's own error (reset, ...)
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vel/net/socket_base.h"
#include "vel/net/tcp_admission.h"
#include "vel/net/transport.h"

namespace vel {

class TcpTransport : public Transport,
                     public SocketBase,
                     public std::enable_shared_from_this<TcpTransport> {
 public:
  // Default cap of the bytes queued for sending and not yet taken by the
  // kernel; a peer that stops reading cannot make the server hold more.
  static constexpr std::size_t kDefaultMaxPendingSendBytes = 64u << 20;

  // A transport whose connection will run on the I/O group `io_group_name`.
  // `tcp_nodelay` turns Nagle's algorithm off on the connection, so small
  // responses leave at once. The largest accepted frame body is the host
  // flag max_message_size as read now. Returns null (logged) when the group
  // does not exist. Any thread.
  static std::shared_ptr<TcpTransport> Create(const std::string& io_group_name,
                                              TcpSSLOption ssl_option,
                                              TransportCompressor compressor,
                                              bool tcp_nodelay);

  ~TcpTransport() override;

  // This transport as the socket a TcpServer's factory returns.
  std::shared_ptr<SocketBase> ToSocketBase();

  // Queues one frame (header and `body`) for the peer. The frame must be
  // taken by the kernel within `timeout_seconds` of this call, or the peer
  // is taken as stuck and the connection closes with a warning; 0 or less
  // means no limit. When the queued bytes would pass the cap while other
  // frames are still waiting, the connection closes with a warning instead.
  // Returns false, queueing nothing, when the transport is not open, the
  // body does not fit the 32-bit length, or the cap closed the connection.
  bool Send(Buffer body, int timeout_seconds) override;

  void Close() override;
  bool IsOpen() const override;
  std::string peer() const override;
  // Set when the TLS handshake succeeds, before the first frame is read.
  std::string peer_certificate_subject() const override;

  // Replaces kDefaultMaxPendingSendBytes for this transport. Any thread.
  void set_max_pending_send_bytes(std::size_t bytes);

  // Bytes queued for sending and not yet written. Any thread.
  std::size_t pending_send_bytes() const;

  // Every delivered frame is a request in flight until a Send (its answer)
  // or NoAnswer. While `max_requests` (0: no limit; default the host flag
  // max_requests_in_flight) are in flight the socket is not read; reading
  // resumes below it. Call before Start. Any thread.
  void set_max_requests_in_flight(std::size_t max_requests);
  void NoAnswer() override;
  std::size_t requests_in_flight() const;

  // A frame whose first byte has arrived must be whole within `timeout`
  // (0: no limit; default the host flag frame_read_timeout_seconds), or the
  // connection closes. Call before Start. Any thread.
  void set_frame_read_timeout(std::chrono::milliseconds timeout);

  // Runs the connection inside TLS with `context` (a server context, see
  // TcpTls); null: plain TCP. Call before Start. Any thread.
  void set_tls(std::shared_ptr<boost::asio::ssl::context> context);

  // Bytes held by the read buffer now. Any thread.
  std::size_t read_buffer_bytes() const { return read_buffer_bytes_; }

  // SocketBase: called by the server on one of its I/O threads.
  void Start(boost::asio::ip::tcp::socket&& peer,
             ClosedCallback on_closed) override;

 private:
  friend class TcpAdmission;
  using Clock = std::chrono::steady_clock;
  enum class State { kIdle, kOpen, kClosed };

  struct Frame {
    std::array<std::uint8_t, 4> header;
    Buffer body;
    Clock::time_point deadline;  // Clock::time_point::max(): none
    std::size_t size() const { return header.size() + body.GetReadableSize(); }
  };

  TcpTransport(std::shared_ptr<boost::asio::io_context> context,
               bool tcp_nodelay, std::uint64_t max_message_size);

  // Reading and delivering frames; strand only.
  void ReadLocked();
  void OnRead(const boost::system::error_code& ec, std::size_t bytes);
  void OnReadFailed(const boost::system::error_code& ec);
  // Delivers the whole frames read so far (as far as the in-flight limit
  // allows) and reads on unless paused or closed.
  void Deliver();
  // The frame read timeout; REQUIRES: mutex_ held.
  void ArmReadTimerLocked();
  void OnReadDeadline(const boost::system::error_code& ec);
  // In-flight accounting; REQUIRES: mutex_ held.
  bool InFlightFullLocked() const;
  void AnswerSentLocked();
  // Bytes of the frame whose header starts the unread data, or 0.
  std::size_t PartialFrameSize() const;

  // Writing; WriteLocked and ArmDeadlineLocked need mutex_ held.
  void WriteLocked();
  // TLS: writes the queued frames from the strand.
  void WriteTls();
  void OnHandshake(const boost::system::error_code& ec);
  // Takes `bytes` written off the front of the send queue.
  void ConsumeWrittenLocked(std::size_t bytes);
  void OnWrite(const boost::system::error_code& ec, std::size_t bytes);
  void ArmDeadlineLocked();
  void OnSendDeadline(const boost::system::error_code& ec);

  // Moves to kClosed with `reason` and closes the socket; false when already
  // closed. REQUIRES: mutex_ held.
  bool CloseLocked(const boost::system::error_code& reason);
  void ReleaseSendQueueLocked();
  // Calls the disconnect handler and the server's callback, once; strand
  // only.
  void Finish();
  void PostFinish();

  // Declared first so that it outlives the socket, timer and strand.
  const std::shared_ptr<boost::asio::io_context> context_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  const bool tcp_nodelay_;
  const std::uint64_t max_message_size_;

  mutable std::mutex mutex_;
  // Every call on socket_ and deadline_timer_ is made with mutex_ held; no
  // composed operations are used, so Close may close the socket at once
  // from any thread.
  boost::asio::ip::tcp::socket socket_;       // GUARDED_BY(mutex_)
  boost::asio::steady_timer deadline_timer_;  // GUARDED_BY(mutex_)
  State state_ = State::kIdle;                // GUARDED_BY(mutex_)
  boost::system::error_code close_reason_;    // GUARDED_BY(mutex_)
  std::string peer_ = "-";                    // GUARDED_BY(mutex_)
  std::size_t max_pending_send_bytes_ = kDefaultMaxPendingSendBytes;
  // GUARDED_BY(mutex_)
  // Frames not yet fully written; the front one is being written.
  std::deque<Frame> send_queue_;                // GUARDED_BY(mutex_)
  std::size_t front_written_ = 0;               // GUARDED_BY(mutex_)
  std::size_t pending_send_bytes_ = 0;          // GUARDED_BY(mutex_)
  bool writing_ = false;                        // GUARDED_BY(mutex_)
  std::multiset<Clock::time_point> deadlines_;  // GUARDED_BY(mutex_)
  Clock::time_point armed_deadline_ = Clock::time_point::max();
  // GUARDED_BY(mutex_)
  boost::asio::steady_timer read_timer_;  // GUARDED_BY(mutex_)
  bool read_timer_armed_ = false;         // GUARDED_BY(mutex_)
  // When the frame being assembled must be whole; max(): no frame started.
  Clock::time_point read_deadline_ = Clock::time_point::max();
  // GUARDED_BY(mutex_)
  std::size_t max_requests_in_flight_;  // GUARDED_BY(mutex_)
  std::size_t requests_in_flight_ = 0;  // GUARDED_BY(mutex_)
  bool paused_ = false;                 // GUARDED_BY(mutex_)
  bool in_flight_logged_ = false;       // GUARDED_BY(mutex_)
  // A whole frame waits for its turn in the process-wide admission.
  bool waiting_for_turn_ = false;  // GUARDED_BY(mutex_)
  bool turn_logged_ = false;       // GUARDED_BY(mutex_)
  // A read is outstanding (there is never more than one).
  bool reading_ = false;  // GUARDED_BY(mutex_)
  // GUARDED_BY(TcpAdmission's lock)
  TcpAdmission::Seat admission_seat_;
  std::chrono::milliseconds frame_read_timeout_;  // GUARDED_BY(mutex_)

  // TLS: the context (set before Start), the stream over socket_ (made by
  // Start, then used on the strand only), whether the handshake is under
  // way, and the bytes of the write in progress.
  std::shared_ptr<boost::asio::ssl::context> tls_context_;
  std::unique_ptr<boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>> tls_;
  bool handshaking_ = false;     // GUARDED_BY(mutex_)
  std::string peer_subject_;     // GUARDED_BY(mutex_)
  std::string tls_write_bytes_;  // GUARDED_BY(mutex_)

  // Strand only.
  std::vector<std::uint8_t> read_buffer_;
  std::size_t read_end_ = 0;  // bytes of read_buffer_ holding unread data
  bool finished_ = false;
  ClosedCallback on_closed_;
  std::atomic<std::size_t> read_buffer_bytes_{0};  // written on the strand
};

}  // namespace vel

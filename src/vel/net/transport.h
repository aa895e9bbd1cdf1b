// A message connection to one peer, independent of how the bytes travel.
// Owners hold a transport by shared_ptr; it stays usable from any thread
// while it is open and turns every call into a no-op once closed.
#pragma once

#include <boost/system/error_code.hpp>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "vel/core/buffer.h"

namespace vel {

// Message compression of a transport. No compressor is provided: kNullPtr
// (send and receive bodies as they are) is the only value.
enum class TransportCompressor { kNullPtr };

class Transport {
 public:
  // Per-message headers. The TCP framing carries none, so the map handed to
  // the receive handler is always empty.
  using HeaderMap = std::map<std::string, std::string>;

  // Called once per received message, on the transport's I/O threads; the
  // calls of one transport come one at a time and in arrival order.
  using ReceiveHandler = std::function<void(const std::shared_ptr<Transport>&,
                                            const HeaderMap&, const Buffer&)>;

  // Called exactly once when an opened connection ends, on the transport's
  // I/O threads, after the last receive handler call. The code tells why:
  // 0 for a peer that closed cleanly between messages, non-zero otherwise
  // (see the implementation for its codes).
  using DisconnectHandler = std::function<void(
      const std::shared_ptr<Transport>&, const boost::system::error_code&)>;

  Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;
  virtual ~Transport();

  // Install the handlers. REQUIRES: called before the connection is opened
  // (for TCP: before the socket is handed to the server). Both handlers are
  // released when the disconnect handler returns, so they may capture the
  // transport without keeping it alive forever.
  void set_receive_handler(ReceiveHandler handler);
  void set_disconnect_handler(DisconnectHandler handler);

  // Queues `body` as one message to the peer; messages go out whole and in
  // call order (per calling thread when several threads send). The meaning
  // of `timeout_seconds` is given by the implementation. Returns false, and
  // sends nothing, when the transport is closed or the message is refused.
  // Thread-safe.
  virtual bool Send(Buffer body, int timeout_seconds) = 0;

  // Closes the connection; pending messages are dropped and the disconnect
  // handler runs later on an I/O thread. Idempotent; thread-safe.
  virtual void Close() = 0;

  // Tells the transport that a received message will get no answer, so it
  // no longer counts as in flight (see the implementation). Thread-safe.
  virtual void NoAnswer() {}

  // Whether the connection is open (Send may still fail right after).
  // Thread-safe.
  virtual bool IsOpen() const = 0;

  // The peer's address for log lines ("ip:port"), or "-" before the
  // connection opened. Thread-safe.
  virtual std::string peer() const = 0;

  // The subject of the client certificate the peer presented and the
  // transport verified (RFC 2253 form), or "" when there is none: a plain
  // connection, no certificate asked for, or the handshake not yet done.
  // Thread-safe.
  virtual std::string peer_certificate_subject() const { return {}; }

 protected:
  // Set before the connection opens; afterwards read and cleared only by the
  // implementation's I/O code, one call at a time.
  ReceiveHandler receive_handler_;
  DisconnectHandler disconnect_handler_;
};

}  // namespace vel

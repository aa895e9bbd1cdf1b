// TcpAdmission: the process-wide share of request handling among the game
// connections. At most max_requests_in_progress requests of all connections
// are handled at once; beyond that, connections take turns, one request each
// in the order they asked, so that connections pipelining thousands of
// requests cannot make a fresh connection wait behind all of their work.
//
// Every function is thread-safe. The admission's own lock is taken while a
// transport holds its lock, never the other way round.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

namespace vel {

class TcpTransport;

class TcpAdmission {
 public:
  // A transport's place in the admission, kept in the transport and guarded
  // by the admission's lock.
  struct Seat {
    std::size_t turns = 0;  // requests granted while the transport waited
    bool queued = false;
    bool gone = false;  // the transport has closed
  };

  // The cap on requests handled at once (0: no cap). Read from the flag
  // max_requests_in_progress at first use; tests may set it.
  static void SetLimit(std::size_t limit);
  static std::size_t limit();
  // Requests admitted and not yet answered, over every connection.
  static std::size_t in_progress();

  // Whether one more request of `transport` may be handled now (it then
  // counts as in progress). When not, the transport waits in line and is
  // handed a turn later (its frames are delivered again on its strand).
  static bool Admit(const std::shared_ptr<TcpTransport>& transport);
  // `count` requests of an open connection were answered (or need none).
  static void Release(std::size_t count);
  // The transport closed with `unanswered` admitted requests: they and any
  // turn it was granted and did not use no longer count.
  static void Leave(TcpTransport* transport, std::size_t unanswered);

  TcpAdmission() = delete;

 private:
  // Hands turns to waiting transports while the cap allows. REQUIRES: lock.
  static void GrantLocked();
  static std::size_t LimitLocked();

  static std::mutex mutex_;
  static bool limit_set_;
  static std::size_t limit_;
  static std::size_t in_progress_;
  static std::deque<std::weak_ptr<TcpTransport>> waiting_;
};

}  // namespace vel

#include "vel/net/tcp_admission.h"

#include <algorithm>
#include <boost/asio/post.hpp>

#include "vel/core/host_flags.h"
#include "vel/net/tcp_limit_counters.h"
#include "vel/net/tcp_transport.h"

namespace vel {

std::mutex TcpAdmission::mutex_;
bool TcpAdmission::limit_set_ = false;
std::size_t TcpAdmission::limit_ = 0;
std::size_t TcpAdmission::in_progress_ = 0;
std::deque<std::weak_ptr<TcpTransport>> TcpAdmission::waiting_;

std::size_t TcpAdmission::LimitLocked() {
  if (!limit_set_) {
    limit_set_ = true;
    limit_ =
        static_cast<std::size_t>(std::max(FLAGS_max_requests_in_progress, 0));
  }
  return limit_;
}

void TcpAdmission::SetLimit(std::size_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  limit_set_ = true;
  limit_ = limit;
  GrantLocked();
}

std::size_t TcpAdmission::limit() {
  std::lock_guard<std::mutex> lock(mutex_);
  return LimitLocked();
}

std::size_t TcpAdmission::in_progress() {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_progress_;
}

bool TcpAdmission::Admit(const std::shared_ptr<TcpTransport>& transport) {
  std::lock_guard<std::mutex> lock(mutex_);
  TcpAdmission::Seat& seat = transport->admission_seat_;
  if (seat.turns > 0) {
    --seat.turns;  // counted when it was granted
    return true;
  }
  if (seat.queued || seat.gone) return false;
  const std::size_t limit = LimitLocked();
  // Once anyone waits, newcomers queue behind them: turns go in order.
  if (limit == 0 || (in_progress_ < limit && waiting_.empty())) {
    ++in_progress_;
    return true;
  }
  seat.queued = true;
  waiting_.push_back(transport);
  TcpLimitCounters::CountAdmissionWait();
  return false;
}

void TcpAdmission::Release(std::size_t count) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  in_progress_ -= std::min(count, in_progress_);
  GrantLocked();
}

void TcpAdmission::Leave(TcpTransport* transport, std::size_t unanswered) {
  std::lock_guard<std::mutex> lock(mutex_);
  TcpAdmission::Seat& seat = transport->admission_seat_;
  if (seat.gone) return;
  seat.gone = true;
  in_progress_ -= std::min(unanswered + seat.turns, in_progress_);
  seat.turns = 0;
  // Its place in line, if any, is skipped when reached.
  GrantLocked();
}

void TcpAdmission::GrantLocked() {
  const std::size_t limit = LimitLocked();
  while (!waiting_.empty() && (limit == 0 || in_progress_ < limit)) {
    std::shared_ptr<TcpTransport> next = waiting_.front().lock();
    waiting_.pop_front();
    if (!next || next->admission_seat_.gone) continue;
    next->admission_seat_.queued = false;
    ++next->admission_seat_.turns;
    ++in_progress_;
    // Never inline: the caller holds another transport's lock.
    boost::asio::post(next->strand_, [next] {
      if (next->IsOpen()) next->Deliver();
    });
  }
}

}  // namespace vel

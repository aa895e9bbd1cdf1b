#include "leaderboard/console/in_process_transport.h"

#include <glog/logging.h>

#include <utility>

namespace plemox {

InProcessTransport::InProcessTransport(std::string peer, AnswerCallback answer)
    : peer_(std::move(peer)), answer_(std::move(answer)) {}

void InProcessTransport::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (answer_) self_ = shared_from_this();
}

bool InProcessTransport::Send(vel::Buffer body, int /*timeout_seconds*/) {
  AnswerCallback answer;
  std::shared_ptr<InProcessTransport> self;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answer = std::move(answer_);
    answer_ = nullptr;
    self = std::move(self_);
  }
  if (!answer) return false;
  Leaderboard::Response response;
  if (!response.ParseFromArray(body.GetReadableBuffer(),
                               static_cast<int>(body.GetReadableSize()))) {
    LOG(ERROR) << "In-process answer could not be parsed: peer=" << peer_;
    response.Clear();
    response.mutable_fail()->set_code(Leaderboard::Response::kFailUnknown);
    response.mutable_fail()->set_message("unreadable answer");
  }
  answer(response);
  return true;
}

void InProcessTransport::Close() {
  std::shared_ptr<InProcessTransport> self;
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = nullptr;
  self = std::move(self_);
  // `self` is released after the lock (declared before the guard).
}

bool InProcessTransport::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<bool>(answer_);
}

}  // namespace plemox

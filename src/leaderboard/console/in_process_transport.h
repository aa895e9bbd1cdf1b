// A transport whose peer lives in this process: the one answer a request
// gets is parsed back into a protocol response and handed to a callback
// instead of going out on a socket. It lets the console run a request through
// the very handlers a game server's request runs through. It keeps itself
// alive from Start() until it has delivered that answer (the session that
// answers holds its transport only weakly). Thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "leaderboard.pb.h"
#include "vel/net/transport.h"

namespace plemox {

class InProcessTransport
    : public vel::Transport,
      public std::enable_shared_from_this<InProcessTransport> {
 public:
  // Called once, on the thread that answers (any thread).
  using AnswerCallback = std::function<void(const Leaderboard::Response&)>;

  // `peer` names the requester in log lines.
  InProcessTransport(std::string peer, AnswerCallback answer);

  // Holds itself until the answer has been delivered or Close() is called.
  void Start();

  // Delivers the first message as the answer and closes; later messages are
  // refused. A message that is no response is answered as kFailUnknown.
  bool Send(vel::Buffer body, int timeout_seconds) override;
  // Drops the answer still expected, without calling the callback.
  void Close() override;
  bool IsOpen() const override;
  std::string peer() const override { return peer_; }

 private:
  const std::string peer_;
  mutable std::mutex mutex_;
  AnswerCallback answer_;                     // GUARDED_BY(mutex_)
  std::shared_ptr<InProcessTransport> self_;  // GUARDED_BY(mutex_)
};

}  // namespace plemox

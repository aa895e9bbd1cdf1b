// WebhookReceiver: an HTTP server on 127.0.0.1 that stands in for a game's
// backend receiving period-end notifications. It records every POST and
// answers with the status a test chooses per idempotency key and attempt.
// Test-only; its methods may be called from any test thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plemox_test {

class WebhookReceiver {
 public:
  // One request as it arrived, and the status it was answered with.
  struct Delivery {
    std::string idempotency_key;  // header X-Plemox-Idempotency-Key
    std::string signature;        // header X-Plemox-Signature
    std::string body;
    int status = 0;
  };
  // The status for the `attempt`-th request (from 1) carrying `key`.
  using StatusOf = std::function<int(const std::string& key, int attempt)>;

  // Starts listening on a free port.
  explicit WebhookReceiver(StatusOf status_of);
  ~WebhookReceiver();
  WebhookReceiver(const WebhookReceiver&) = delete;
  WebhookReceiver& operator=(const WebhookReceiver&) = delete;

  // "http://127.0.0.1:<port>/period-end".
  std::string url() const;
  std::vector<Delivery> deliveries() const;
  // The deliveries of `key` answered 2xx.
  int AcceptedCount(const std::string& key) const;

 private:
  void Serve();
  void Handle(int connection);

  const StatusOf status_of_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<Delivery> deliveries_;  // GUARDED_BY(mutex_)
};

}  // namespace plemox_test

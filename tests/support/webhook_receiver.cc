// WebhookReceiver over blocking POSIX sockets: one connection at a time.
#include "support/webhook_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace plemox_test {
namespace {

// The value of header `name` in `head` (case-insensitive name), or "".
std::string HeaderValue(const std::string& head, const std::string& name) {
  std::size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string::npos) {
    at += 2;
    if (head.size() > at + name.size() &&
        strncasecmp(head.c_str() + at, name.c_str(), name.size()) == 0 &&
        head[at + name.size()] == ':') {
      std::size_t value = at + name.size() + 1;
      while (value < head.size() && head[value] == ' ') ++value;
      return head.substr(value, head.find("\r\n", value) - value);
    }
  }
  return "";
}

}  // namespace

WebhookReceiver::WebhookReceiver(StatusOf status_of)
    : status_of_(std::move(status_of)) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener_ < 0 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) !=
          0) {
    throw std::runtime_error("WebhookReceiver: cannot listen");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

WebhookReceiver::~WebhookReceiver() {
  shutdown(listener_, SHUT_RDWR);
  close(listener_);
  thread_.join();
}

std::string WebhookReceiver::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/period-end";
}

std::vector<WebhookReceiver::Delivery> WebhookReceiver::deliveries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deliveries_;
}

int WebhookReceiver::AcceptedCount(const std::string& key) const {
  int count = 0;
  for (const Delivery& delivery : deliveries()) {
    if (delivery.idempotency_key == key && delivery.status / 100 == 2) ++count;
  }
  return count;
}

void WebhookReceiver::Serve() {
  for (;;) {
    const int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) return;  // Closed by the destructor.
    Handle(connection);
    close(connection);
  }
}

void WebhookReceiver::Handle(int connection) {
  std::string data;
  std::size_t body_at = std::string::npos;
  std::size_t body_size = 0;
  char buffer[8192];
  for (;;) {
    pollfd ready{connection, POLLIN, 0};
    if (poll(&ready, 1, 5000) <= 0) return;
    const ssize_t got = read(connection, buffer, sizeof(buffer));
    if (got <= 0) return;
    data.append(buffer, static_cast<std::size_t>(got));
    if (body_at == std::string::npos) {
      const std::size_t end = data.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      body_at = end + 4;
      body_size = std::strtoul(
          HeaderValue(data.substr(0, end), "Content-Length").c_str(), nullptr,
          10);
    }
    if (data.size() >= body_at + body_size) break;
  }
  Delivery delivery;
  const std::string head = data.substr(0, body_at);
  delivery.idempotency_key = HeaderValue(head, "X-Plemox-Idempotency-Key");
  delivery.signature = HeaderValue(head, "X-Plemox-Signature");
  delivery.body = data.substr(body_at, body_size);
  int attempt = 1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Delivery& earlier : deliveries_) {
      if (earlier.idempotency_key == delivery.idempotency_key) ++attempt;
    }
  }
  delivery.status = status_of_(delivery.idempotency_key, attempt);
  const std::string answer = "HTTP/1.1 " + std::to_string(delivery.status) +
                             " Test\r\nContent-Length: 2\r\nConnection: "
                             "close\r\n\r\nok";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back(std::move(delivery));
  }
  const ssize_t sent = write(connection, answer.data(), answer.size());
  (void)sent;
}

}  // namespace plemox_test

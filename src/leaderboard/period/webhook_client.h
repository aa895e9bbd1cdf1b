// WebhookClient: one HTTP(S) POST of a JSON document to a receiver over
// libcurl, signed with HMAC-SHA256 when a secret is given. Blocking: it is
// called only by the period-end notifier's own thread, never on an event,
// cache or database thread.
#pragma once

#include <cstdint>
#include <string>

namespace plemox {

class WebhookClient {
 public:
  // The header that carries the signature: "sha256=" + the lower-case hex
  // HMAC-SHA256 of the body, keyed with the secret.
  static constexpr char kSignatureHeader[] = "X-Plemox-Signature";
  // The header that repeats the document's idempotency key.
  static constexpr char kIdempotencyKeyHeader[] = "X-Plemox-Idempotency-Key";

  // The outcome of one attempt.
  struct Outcome {
    // The receiver answered 2xx.
    bool delivered = false;
    // The HTTP status, 0 when there was no answer.
    long status = 0;
    // Why it was not delivered ("HTTP 503: <start of the body>",
    // "Timeout was reached", ...); empty when delivered.
    std::string error;
  };

  // Once per process before any Post (start-up thread): libcurl's global
  // state. Returns false (logged) when libcurl cannot initialise.
  static bool GlobalInitialize();

  // Whether `url` is an http:// or https:// URL with a host.
  static bool IsSupportedUrl(const std::string& url);

  // The signature header's value for `body` and `secret`:
  // "sha256=<64 hex digits>".
  static std::string Sign(const std::string& body, const std::string& secret);

  // POSTs `body` (application/json) to `url` and waits for the answer, at
  // most `connect_timeout_ms` for the connection and `timeout_ms` in all.
  // Redirects are not followed. With a non-empty `secret` the request
  // carries the signature header. Any thread; blocks.
  static Outcome Post(const std::string& url, const std::string& body,
                      const std::string& idempotency_key,
                      const std::string& secret,
                      std::int64_t connect_timeout_ms, std::int64_t timeout_ms);

  WebhookClient() = delete;
};

}  // namespace plemox

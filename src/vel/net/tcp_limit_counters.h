// Process-wide counts of the TCP connection limits being hit; the component
// serves them as the counter tcp/limits. Every function is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

namespace vel {

class Json;

class TcpLimitCounters {
 public:
  // Connections closed at accept because max_connections were open.
  static void CountRefusedConnection() { refused_connections_++; }
  // Connections closed because a started frame missed its read timeout.
  static void CountFrameReadTimeout() { frame_read_timeouts_++; }
  // Connections closed because their TLS handshake failed (a plain peer on
  // a TLS port, a refused certificate, a peer that hung up).
  static void CountTlsHandshakeFailure() { tls_handshake_failures_++; }
  // Times a connection stopped being read at max_requests_in_flight.
  static void CountInFlightPause() { in_flight_pauses_++; }
  // Times a connection waited for its turn at max_requests_in_progress.
  static void CountAdmissionWait() { admission_waits_++; }

  static std::uint64_t refused_connections() { return refused_connections_; }
  static std::uint64_t frame_read_timeouts() { return frame_read_timeouts_; }
  static std::uint64_t in_flight_pauses() { return in_flight_pauses_; }
  static std::uint64_t tls_handshake_failures() {
    return tls_handshake_failures_;
  }
  static std::uint64_t admission_waits() { return admission_waits_; }

  // The counts as a JSON object, for a callable counter.
  static int Report(Json* out);

 private:
  static std::atomic<std::uint64_t> refused_connections_;
  static std::atomic<std::uint64_t> frame_read_timeouts_;
  static std::atomic<std::uint64_t> in_flight_pauses_;
  static std::atomic<std::uint64_t> tls_handshake_failures_;
  static std::atomic<std::uint64_t> admission_waits_;
};

}  // namespace vel

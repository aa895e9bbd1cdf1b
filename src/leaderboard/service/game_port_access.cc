#include "leaderboard/service/game_port_access.h"

#include <glog/logging.h>

#include <array>
#include <atomic>
#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <iterator>
#include <mutex>

#include "common/leaderboard_flags.h"
#include "leaderboard/core/client_certificate_subjects.h"
#include "leaderboard/core/game_server_keys.h"
#include "leaderboard/service/failed_authentications.h"
#include "leaderboard/service/session_registry.h"
#include "vel/core/raw_timer.h"
#include "vel/core/reload_hooks.h"
#include "vel/net/tcp_tls.h"

namespace plemox {
namespace {

using prometheus::MetricType;
using vel::MetricsRegistry;

// Most peer addresses whose failed authentications are remembered.
constexpr std::size_t kMaxFailureAddresses = 10000;
constexpr char kReloadHookName[] = "game_server_keys";

constexpr const char* kRefusalLabels[] = {
    "app_id_not_allowed", "invalid_key",   "refused_before",
    "address_waiting",    "missing_right", "certificate_mismatch"};
static_assert(std::size(kRefusalLabels) == GamePortAccess::kRefusalCount,
              "one label per refusal");
constexpr const char* kClosureLabels[] = {"too_many_failures",
                                          "authentication_timeout"};

std::array<std::atomic<std::uint64_t>, GamePortAccess::kRefusalCount>
    the_refusals{};
std::array<std::atomic<std::uint64_t>, GamePortAccess::kClosureCount>
    the_closures{};
// 1 while the port listens beyond loopback without keys.
std::atomic<bool> the_open_access{false};
std::atomic<bool> the_guarded{false};
// Created by Configure when keys are on; lives until the process ends.
std::unique_ptr<FailedAuthentications> the_failures;
std::mutex the_tls_mutex;
// Replaced whole at a reload; a connection keeps the one it started with.
std::shared_ptr<boost::asio::ssl::context> the_tls;  // GUARDED_BY(mutex)

bool TlsWanted() {
  return !FLAGS_server_tls_cert.empty() || !FLAGS_server_tls_key.empty();
}

// Makes the TLS context of the flags; false with *error when it fails.
bool LoadTls(std::string* error) {
  if (!FLAGS_server_tls_client_ca.empty() && !TlsWanted()) {
    *error =
        "--server_tls_client_ca needs --server_tls_cert and "
        "--server_tls_key";
    return false;
  }
  if (!FLAGS_server_tls_client_subjects_file.empty() &&
      FLAGS_server_tls_client_ca.empty()) {
    *error =
        "--server_tls_client_subjects_file needs --server_tls_client_ca "
        "(client certificates are asked for only with it)";
    return false;
  }
  if (!TlsWanted()) return true;
  vel::TcpTls::Settings settings;
  settings.cert_file = FLAGS_server_tls_cert;
  settings.key_file = FLAGS_server_tls_key;
  settings.client_ca_file = FLAGS_server_tls_client_ca;
  auto context = vel::TcpTls::Create(settings, error);
  if (!context) {
    *error = "game port TLS: " + *error;
    return false;
  }
  std::lock_guard<std::mutex> lock(the_tls_mutex);
  the_tls = std::move(context);
  return true;
}

}  // namespace

bool GamePortAccess::Configure(std::string* error) {
  if (!LoadTls(error)) return false;
  if (TlsWanted()) {
    LOG(INFO) << "Game port TLS: on (certificate " << FLAGS_server_tls_cert
              << (FLAGS_server_tls_client_ca.empty()
                      ? std::string(", no client certificate asked for")
                      : ", client certificates of " +
                            FLAGS_server_tls_client_ca + " required")
              << "); read again on SIGHUP";
  }
  vel::ReloadHooks::Register(kReloadHookName, &GamePortAccess::Reload);
  const bool keys = !FLAGS_game_server_keys_file.empty();
  if (keys) {
    std::size_t count = 0;
    if (!GameServerKeys::Load(FLAGS_game_server_keys_file, &count, error)) {
      return false;
    }
    LOG(INFO) << "Game server keys: keys=" << count
              << ", file=" << FLAGS_game_server_keys_file
              << "; read again on SIGHUP";
  }
  const bool subjects = !FLAGS_server_tls_client_subjects_file.empty();
  if (subjects) {
    std::size_t count = 0;
    if (!ClientCertificateSubjects::Load(FLAGS_server_tls_client_subjects_file,
                                         &count, error)) {
      *error = "client certificate subjects: " + *error;
      return false;
    }
    LOG(INFO) << "Client certificate subjects: subjects=" << count
              << ", file=" << FLAGS_server_tls_client_subjects_file
              << (keys ? "; an authentication needs both a key and a "
                         "certificate mapped to its app id"
                       : "; a certificate mapped to the app id authenticates "
                         "it with every right")
              << "; read again on SIGHUP";
  }
  if (keys || subjects) {
    if (!the_failures) {
      the_failures = std::make_unique<FailedAuthentications>(
          FLAGS_max_failed_authentications_per_minute,
          std::chrono::seconds(FLAGS_failed_authentication_wait_seconds),
          kMaxFailureAddresses);
    }
  }
  the_guarded = keys || subjects;
  const bool open = !keys && FLAGS_server_tls_client_ca.empty() &&
                    !IsLoopback(FLAGS_server_bind_address);
  the_open_access = open;
  if (open) {
    LOG(WARNING) << "The game port listens on " << FLAGS_server_bind_address
                 << " without --game_server_keys_file or "
                    "--server_tls_client_ca: anyone who reaches the port has "
                    "every right (submit, query, delete, reset)";
  }
  return true;
}

std::shared_ptr<boost::asio::ssl::context> GamePortAccess::TlsContext() {
  std::lock_guard<std::mutex> lock(the_tls_mutex);
  return the_tls;
}

void GamePortAccess::Reload() {
  GameServerKeys::Reload();
  ClientCertificateSubjects::Reload();
  if (!TlsWanted()) return;
  std::string error;
  if (LoadTls(&error)) {
    LOG(INFO) << "Game port TLS certificate and key read again: certificate="
              << FLAGS_server_tls_cert
              << "; open connections keep the ones they started with";
  } else {
    LOG(ERROR) << "Game port TLS not read again, the previous certificate "
                  "stays: "
               << error;
  }
}

void GamePortAccess::Unconfigure() {
  vel::ReloadHooks::Unregister(kReloadHookName);
  ClientCertificateSubjects::Clear();
}

bool GamePortAccess::Guarded() { return the_guarded.load(); }

FailedAuthentications& GamePortAccess::failures() { return *the_failures; }

void GamePortAccess::CountRefusal(Refusal reason) { ++the_refusals[reason]; }

void GamePortAccess::CountClosure(Closure reason) { ++the_closures[reason]; }

void GamePortAccess::WatchAuthentication(
    const std::shared_ptr<vel::Transport>& transport) {
  if (!Guarded() || FLAGS_authentication_timeout_seconds == 0) return;
  const std::int64_t delay_us =
      static_cast<std::int64_t>(FLAGS_authentication_timeout_seconds) * 1000000;
  vel::RawTimer::ExpireAfter(
      delay_us, [weak = std::weak_ptr<vel::Transport>(transport)](
                    vel::RawTimer::TimerId, std::int64_t) {
        auto transport = weak.lock();
        if (!transport || !transport->IsOpen()) return;
        const auto session = SessionRegistry::Find(transport);
        if (session && session->state() == ClientSession::kAuthenticated) {
          return;
        }
        CountClosure(kAuthenticationTimeout);
        LOG(WARNING) << "Closing the connection: it did not authenticate "
                        "within authentication_timeout_seconds: peer="
                     << transport->peer() << ", timeout seconds="
                     << FLAGS_authentication_timeout_seconds;
        transport->Close();
      });
}

std::string GamePortAccess::PeerAddress(const std::string& peer) {
  const std::size_t colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

bool GamePortAccess::IsLoopback(const std::string& address) {
  if (address == "localhost") return true;
  boost::system::error_code ec;
  const auto parsed = boost::asio::ip::make_address(address, ec);
  return !ec && parsed.is_loopback();
}

void GamePortAccess::Collect(MetricsRegistry::Families* families) {
  MetricsRegistry::AddSample(
      MetricsRegistry::AddFamily(
          families, "plemox_game_port_open_access",
          "1 when the game port listens beyond loopback without game "
          "server keys: anyone who reaches it has every right",
          MetricType::Gauge),
      {}, the_open_access ? 1 : 0);
  auto* refused = MetricsRegistry::AddFamily(
      families, "plemox_game_authentications_refused_total",
      "Refused game authentications and requests by reason",
      MetricType::Counter);
  for (int i = 0; i < kRefusalCount; ++i) {
    MetricsRegistry::AddSample(refused, {{"reason", kRefusalLabels[i]}},
                               static_cast<double>(the_refusals[i].load()));
  }
  auto* closed = MetricsRegistry::AddFamily(
      families, "plemox_game_connections_closed_by_guard_total",
      "Game connections closed for too many failed authentications or for "
      "not authenticating in time",
      MetricType::Counter);
  for (int i = 0; i < kClosureCount; ++i) {
    MetricsRegistry::AddSample(closed, {{"reason", kClosureLabels[i]}},
                               static_cast<double>(the_closures[i].load()));
  }
}

}  // namespace plemox

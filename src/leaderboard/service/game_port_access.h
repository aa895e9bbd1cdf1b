// Who may use the game port: the start-up decision (keys on or off, the
// client certificate subjects, the warning for an open port), the guard against
// guessing keys (failed authentications per address, the authentication
// timeout), and their counts in /metrics. Every function is thread-safe.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

#include "vel/metrics/metrics_registry.h"
#include "vel/net/transport.h"

namespace plemox {

class FailedAuthentications;

class GamePortAccess {
 public:
  // Why an authentication or a request was refused (label "reason").
  enum Refusal {
    kAppIdNotAllowed = 0,  // not in --allowed_app_ids
    kInvalidKey,           // no key of the app id matched
    kRefusedBefore,        // this connection was refused before
    kAddressWaiting,       // the address passed the failure limit
    kMissingRight,         // a request needs a right the key lacks
    kCertificateMismatch,  // the client certificate's subject is not mapped
                           // to the app id
    kRefusalCount
  };
  // Why a connection was closed by this guard (label "reason").
  enum Closure { kTooManyFailures = 0, kAuthenticationTimeout, kClosureCount };

  // Start-up, before the port opens: loads --game_server_keys_file,
  // --server_tls_client_subjects_file and the game port's TLS certificate
  // and key (false with *error when one cannot be used), registers their reload
  // on SIGHUP, sets up the failure table from the flags, and logs one warning
  // when the port listens beyond loopback with neither keys nor client
  // certificates. Host thread.
  static bool Configure(std::string* error);
  // Shutdown: no reload hook any more.
  static void Unconfigure();

  // The TLS context new connections take; null without TLS.
  static std::shared_ptr<boost::asio::ssl::context> TlsContext();

  // Reads the keys file, the subjects file and the TLS certificate and key
  // again (SIGHUP); what fails to load keeps its previous value, logged.
  static void Reload();

  // Whether the guard applies: keys or the client certificate subjects
  // are on.
  static bool Guarded();

  // The failure table; REQUIRES: Guarded().
  static FailedAuthentications& failures();

  static void CountRefusal(Refusal reason);
  static void CountClosure(Closure reason);

  // When Guarded() and with --authentication_timeout_seconds: closes
  // `transport` when it has not authenticated in time. Called once per
  // connection.
  static void WatchAuthentication(
      const std::shared_ptr<vel::Transport>& transport);

  // The address part of a peer text "address:port".
  static std::string PeerAddress(const std::string& peer);

  // Whether `address` (a bind address) reaches only this machine.
  static bool IsLoopback(const std::string& address);

  // Adds this guard's metrics (scrape time).
  static void Collect(vel::MetricsRegistry::Families* families);

  GamePortAccess() = delete;
};

}  // namespace plemox

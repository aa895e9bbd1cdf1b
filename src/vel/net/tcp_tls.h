// The TLS settings of a TCP server's connections: a server context made
// from a certificate chain and key (PEM), TLS 1.2 or later, and, with a
// client CA, a client certificate required and checked against it (mutual
// TLS). A context is immutable once made; reloading makes a new one, which
// new connections take while open ones keep theirs. Any thread.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

namespace vel {

class TcpTls {
 public:
  struct Settings {
    std::string cert_file;       // PEM certificate chain of the server
    std::string key_file;        // PEM private key of that certificate
    std::string client_ca_file;  // empty: no client certificate asked for
  };

  // The context of `settings`, or null with *error naming the file and
  // OpenSSL's reason (never a key's content).
  static std::shared_ptr<boost::asio::ssl::context> Create(
      const Settings& settings, std::string* error);

  TcpTls() = delete;
};

}  // namespace vel

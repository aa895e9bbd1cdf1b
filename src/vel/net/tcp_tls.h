// The TLS settings of a TCP server's connections: a server context made
// from a certificate chain and key (PEM), TLS 1.2 or later, and, with a
// client CA, a client certificate required and checked against it (mutual
// TLS). A context is immutable once made; reloading makes a new one, which
// new connections take while open ones keep theirs. Also reads the subject
// of a connection's verified client certificate.
#pragma once

#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <cstddef>
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

  // Longest client certificate subject VerifiedPeerSubject returns.
  static constexpr std::size_t kMaxPeerSubjectBytes = 8192;

  // The context of `settings`, or null with *error naming the file and
  // OpenSSL's reason (never a key's content). Any thread.
  static std::shared_ptr<boost::asio::ssl::context> Create(
      const Settings& settings, std::string* error);

  // The subject name of the certificate the peer of `ssl` presented and the
  // handshake verified, in RFC 2253 form as `openssl x509 -nameopt RFC2253`
  // prints it ("CN=game-eu-1,O=Example"; bytes beyond ASCII escaped as
  // \XX). Empty when the peer presented none, it was not verified, or the
  // subject is longer than kMaxPeerSubjectBytes. Call on the connection's
  // strand after its handshake succeeded.
  static std::string VerifiedPeerSubject(SSL* ssl);

  TcpTls() = delete;
};

}  // namespace vel

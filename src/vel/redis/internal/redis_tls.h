// The TLS settings of the Redis client (vel_redis only): one OpenSSL context
// with the trusted CAs and the optional client certificate, made once at
// start-up, and how each new stream checks the server it reaches. Immutable
// once made; any thread.
#pragma once

#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <memory>
#include <string>

namespace vel {
namespace redis_internal {

class RedisTls {
 public:
  struct Settings {
    std::string ca_file;      // empty: the system's trust store
    std::string cert_file;    // client certificate (PEM chain); optional
    std::string key_file;     // its private key (PEM); with cert_file only
    std::string server_name;  // name to check; empty: the host connected to
    bool verify_server_name = true;
  };

  // The settings made usable; null with the reason in *error when a file
  // cannot be read or the key does not match the certificate.
  static std::shared_ptr<const RedisTls> Create(const Settings& settings,
                                                std::string* error);

  // A TLS stream over `socket` (connected), set up to send SNI and to check
  // the certificate's chain and, unless turned off, its name against
  // `host` (or the configured server name). False with the reason in
  // *error when OpenSSL refuses the name.
  using Socket = boost::asio::generic::stream_protocol::socket;
  using Stream = boost::asio::ssl::stream<Socket>;
  std::unique_ptr<Stream> Wrap(Socket socket, const std::string& host,
                               std::string* error) const;

  // Why a handshake failed, for log lines: the certificate check's own
  // reason when it was the check that failed.
  static std::string HandshakeError(Stream& stream,
                                    const boost::system::error_code& error);

  // "on (CA ..., server name ...)" for the start-up log.
  std::string Describe() const;

 private:
  explicit RedisTls(Settings settings);

  const Settings settings_;
  // Not modified after Create; OpenSSL contexts may be shared by threads
  // once set up.
  mutable boost::asio::ssl::context context_;
};

}  // namespace redis_internal
}  // namespace vel

// The client side of TLS to a game port: the client context of a
// LeaderboardClient's TLS options, the name the server's certificate must
// carry, and why a handshake failed. Stateless; any thread (a stream only
// on the thread that runs it).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <memory>
#include <string>

#include "client/leaderboard_client.h"

namespace plemox {

class ClientTls {
 public:
  using Stream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>;

  // TLS 1.2 or later, the server's certificate checked against `tls.ca_file`
  // (or the system's CAs), with the client certificate when given. Null
  // with *error naming the file and OpenSSL's reason.
  static std::shared_ptr<boost::asio::ssl::context> MakeContext(
      const LeaderboardClient::Tls& tls, std::string* error);

  // Makes the handshake of `stream` check that the server's certificate is
  // for `name` (a host name, sent as SNI, or an IP address).
  static void ExpectServerName(Stream& stream, const std::string& name);

  // "TLS handshake failed: " and the reason (the certificate check's when it
  // failed).
  static std::string HandshakeError(Stream& stream,
                                    const boost::system::error_code& error);

  ClientTls() = delete;
};

}  // namespace plemox

#include "client/client_tls.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/ip/address.hpp>

#include "vel/core/tls_error_text.h"

namespace plemox {

std::shared_ptr<boost::asio::ssl::context> ClientTls::MakeContext(
    const LeaderboardClient::Tls& tls, std::string* error) {
  namespace ssl = boost::asio::ssl;
  auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
  boost::system::error_code failure;
  context->set_options(ssl::context::default_workarounds |
                           ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                           ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                       failure);
  context->set_verify_mode(ssl::verify_peer, failure);
  if (tls.ca_file.empty()) {
    context->set_default_verify_paths(failure);
  } else {
    context->load_verify_file(tls.ca_file, failure);
  }
  if (failure) {
    *error = "cannot load the TLS CA '" + tls.ca_file +
             "': " + vel::TlsErrorText(failure);
    return nullptr;
  }
  if (!tls.cert_file.empty() || !tls.key_file.empty()) {
    context->use_certificate_chain_file(tls.cert_file, failure);
    if (!failure) {
      context->use_private_key_file(tls.key_file, ssl::context::pem, failure);
    }
    if (failure) {
      *error = "cannot use the TLS client certificate '" + tls.cert_file +
               "' and key: " + vel::TlsErrorText(failure);
      return nullptr;
    }
  }
  return context;
}

void ClientTls::ExpectServerName(Stream& stream, const std::string& name) {
  SSL* ssl = stream.native_handle();
  boost::system::error_code not_address;
  boost::asio::ip::make_address(name, not_address);
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (not_address) {
    // SNI carries host names only.
    SSL_set_tlsext_host_name(ssl, name.c_str());
    X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
  } else {
    X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
  }
}

std::string ClientTls::HandshakeError(Stream& stream,
                                      const boost::system::error_code& error) {
  const long verify = SSL_get_verify_result(stream.native_handle());
  if (verify != X509_V_OK) {
    ERR_clear_error();
    return std::string("TLS handshake failed: certificate verify failed (") +
           X509_verify_cert_error_string(verify) + ")";
  }
  return "TLS handshake failed: " + vel::TlsErrorText(error);
}

}  // namespace plemox

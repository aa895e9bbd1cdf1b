#include "vel/net/tcp_tls.h"

#include <openssl/ssl.h>

#include "vel/core/tls_error_text.h"

namespace vel {

std::shared_ptr<boost::asio::ssl::context> TcpTls::Create(
    const Settings& settings, std::string* error) {
  if (settings.cert_file.empty() || settings.key_file.empty()) {
    *error = "TLS needs both a certificate and its key";
    return nullptr;
  }
  namespace ssl = boost::asio::ssl;
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  boost::system::error_code failure;
  // TLS 1.2 and later only; no session tickets or compression to keep per
  // connection.
  context->set_options(ssl::context::default_workarounds |
                           ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                           ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                           ssl::context::no_compression |
                           ssl::context::single_dh_use,
                       failure);
  // Idle connections give their record buffers back: thousands of them
  // then cost little.
  SSL_CTX_set_mode(context->native_handle(), SSL_MODE_RELEASE_BUFFERS);
  context->use_certificate_chain_file(settings.cert_file, failure);
  if (failure) {
    *error = "cannot load the certificate '" + settings.cert_file +
             "': " + vel::TlsErrorText(failure);
    return nullptr;
  }
  context->use_private_key_file(settings.key_file, ssl::context::pem, failure);
  if (!failure && SSL_CTX_check_private_key(context->native_handle()) != 1) {
    failure = boost::asio::error::invalid_argument;
  }
  if (failure) {
    *error = "cannot use the key '" + settings.key_file +
             "' with the certificate: " + vel::TlsErrorText(failure);
    return nullptr;
  }
  if (!settings.client_ca_file.empty()) {
    context->load_verify_file(settings.client_ca_file, failure);
    if (failure) {
      *error = "cannot load the client CA '" + settings.client_ca_file +
               "': " + vel::TlsErrorText(failure);
      return nullptr;
    }
    context->set_verify_mode(
        ssl::verify_peer | ssl::verify_fail_if_no_peer_cert, failure);
  } else {
    context->set_verify_mode(ssl::verify_none, failure);
  }
  return context;
}

}  // namespace vel

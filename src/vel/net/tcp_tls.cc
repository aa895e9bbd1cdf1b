#include "vel/net/tcp_tls.h"

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

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

std::string TcpTls::VerifiedPeerSubject(SSL* ssl) {
  if (ssl == nullptr || SSL_get_verify_result(ssl) != X509_V_OK) return {};
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  X509* const peer = SSL_get1_peer_certificate(ssl);
#else
  X509* const peer = SSL_get_peer_certificate(ssl);
#endif
  const std::unique_ptr<X509, decltype(&X509_free)> certificate(peer,
                                                                &X509_free);
  if (!certificate) return {};
  const std::unique_ptr<BIO, decltype(&BIO_free)> text(BIO_new(BIO_s_mem()),
                                                       &BIO_free);
  if (!text ||
      X509_NAME_print_ex(text.get(), X509_get_subject_name(certificate.get()),
                         0, XN_FLAG_RFC2253) < 0) {
    return {};
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(text.get(), &data);
  if (size <= 0 || static_cast<std::size_t>(size) > kMaxPeerSubjectBytes) {
    return {};
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace vel

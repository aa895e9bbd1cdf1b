#include "vel/redis/internal/redis_tls.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/error.hpp>
#include <utility>

#include "vel/core/tls_error_text.h"

namespace vel {
namespace redis_internal {
namespace {

bool IsAddress(const std::string& host) {
  boost::system::error_code error;
  boost::asio::ip::make_address(host, error);
  return !error;
}

}  // namespace

RedisTls::RedisTls(Settings settings)
    : settings_(std::move(settings)),
      context_(boost::asio::ssl::context::tls_client) {}

std::shared_ptr<const RedisTls> RedisTls::Create(const Settings& settings,
                                                 std::string* error) {
  if (settings.cert_file.empty() != settings.key_file.empty()) {
    *error =
        "a client certificate needs both --redis_tls_cert and "
        "--redis_tls_key";
    return nullptr;
  }
  std::shared_ptr<RedisTls> tls(new RedisTls(settings));
  boost::asio::ssl::context& context = tls->context_;
  boost::system::error_code failure;
  // TLS 1.2 and later: the older versions are broken, and every Redis with
  // TLS speaks 1.2.
  context.set_options(boost::asio::ssl::context::default_workarounds |
                          boost::asio::ssl::context::no_sslv2 |
                          boost::asio::ssl::context::no_sslv3 |
                          boost::asio::ssl::context::no_tlsv1 |
                          boost::asio::ssl::context::no_tlsv1_1,
                      failure);
  context.set_verify_mode(boost::asio::ssl::verify_peer, failure);
  if (settings.ca_file.empty()) {
    context.set_default_verify_paths(failure);
    if (failure) {
      *error =
          "cannot load the system's trusted CAs: " + vel::TlsErrorText(failure);
      return nullptr;
    }
  } else {
    context.load_verify_file(settings.ca_file, failure);
    if (failure) {
      *error = "cannot load the CA file '" + settings.ca_file +
               "': " + vel::TlsErrorText(failure);
      return nullptr;
    }
  }
  if (!settings.cert_file.empty()) {
    context.use_certificate_chain_file(settings.cert_file, failure);
    if (failure) {
      *error = "cannot load the client certificate '" + settings.cert_file +
               "': " + vel::TlsErrorText(failure);
      return nullptr;
    }
    context.use_private_key_file(settings.key_file,
                                 boost::asio::ssl::context::pem, failure);
    if (!failure && SSL_CTX_check_private_key(context.native_handle()) != 1) {
      failure = boost::asio::error::invalid_argument;
    }
    if (failure) {
      *error = "cannot use the client key '" + settings.key_file +
               "': " + vel::TlsErrorText(failure);
      return nullptr;
    }
  }
  return tls;
}

std::unique_ptr<RedisTls::Stream> RedisTls::Wrap(Socket socket,
                                                 const std::string& host,
                                                 std::string* error) const {
  auto stream = std::make_unique<Stream>(std::move(socket), context_);
  SSL* ssl = stream->native_handle();
  const std::string& name =
      settings_.server_name.empty() ? host : settings_.server_name;
  const bool address = IsAddress(name);
  // SNI carries host names only, never an address.
  if (!address && !name.empty() && name[0] != '/' &&
      SSL_set_tlsext_host_name(ssl, name.c_str()) != 1) {
    *error = "cannot set the server name '" + name + "' for SNI";
    ERR_clear_error();
    return nullptr;
  }
  if (settings_.verify_server_name) {
    // Checked by OpenSSL within the chain check, so that a mismatch fails
    // the handshake with "hostname mismatch" as its reason.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param,
                                    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int set = address
                        ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                        : X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
    if (set != 1) {
      *error = "cannot check the server name '" + name + "'";
      ERR_clear_error();
      return nullptr;
    }
  }
  return stream;
}

std::string RedisTls::HandshakeError(Stream& stream,
                                     const boost::system::error_code& error) {
  const long verify = SSL_get_verify_result(stream.native_handle());
  std::string text = error.message();
  if (verify != X509_V_OK) {
    text = std::string("certificate verify failed (") +
           X509_verify_cert_error_string(verify) + ")";
  } else if (error == boost::asio::error::eof ||
             error == boost::asio::ssl::error::stream_truncated) {
    text =
        "the server closed the connection (a plain server, or one that "
        "refused this client's certificate?)";
  }
  ERR_clear_error();
  return "TLS handshake failed: " + text;
}

std::string RedisTls::Describe() const {
  std::string text = "on (CA ";
  text += settings_.ca_file.empty() ? std::string("the system's trust store")
                                    : settings_.ca_file;
  if (!settings_.cert_file.empty()) {
    text += ", client certificate " + settings_.cert_file;
  }
  if (!settings_.verify_server_name) {
    text += ", server name not checked";
  } else if (!settings_.server_name.empty()) {
    text += ", server name " + settings_.server_name;
  }
  return text + ")";
}

}  // namespace redis_internal
}  // namespace vel

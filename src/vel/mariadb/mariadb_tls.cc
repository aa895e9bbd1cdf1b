#include "vel/mariadb/mariadb_tls.h"

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

namespace vel {
namespace {

std::mutex the_mutex;
// Null: plain connections.
std::shared_ptr<const MariadbTls::Options>
    the_options;  // GUARDED_BY(the_mutex)

std::shared_ptr<const MariadbTls::Options> Current() {
  std::lock_guard<std::mutex> lock(the_mutex);
  return the_options;
}

// False with *error set when `path` is given but cannot be opened.
bool Readable(const char* flag, const std::string& path, std::string* error) {
  if (path.empty()) return true;
  std::ifstream in(path);
  if (!in) {
    *error = std::string(flag) + ": cannot read " + path + ": " +
             std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool MariadbTls::Configure(const Options& options, std::string* error) {
  if (!Readable("--mysql_ssl_ca", options.ca, error) ||
      !Readable("--mysql_ssl_cert", options.cert, error) ||
      !Readable("--mysql_ssl_key", options.key, error)) {
    return false;
  }
  if (options.cert.empty() != options.key.empty()) {
    *error =
        "--mysql_ssl_cert and --mysql_ssl_key go together: a client "
        "certificate needs its key";
    return false;
  }
  auto value =
      options.enabled() ? std::make_shared<const Options>(options) : nullptr;
  std::lock_guard<std::mutex> lock(the_mutex);
  the_options = std::move(value);
  return true;
}

std::string MariadbTls::Describe() {
  const auto options = Current();
  if (options == nullptr) return "off";
  std::string text = "on";
  if (!options->ca.empty()) text += ", CA " + options->ca;
  if (!options->cert.empty()) text += ", client certificate " + options->cert;
  if (options->ca.empty()) {
    text += ", the server's certificate NOT verified";
  } else if (!options->verify_server_cert) {
    text += ", the server's certificate checked against the CA, its name NOT";
  } else {
    text += ", the server's certificate and name verified";
  }
  return text;
}

std::string MariadbTls::ConnectHint(unsigned code) {
  const bool on = Current() != nullptr;
  if (code == ER_ACCESS_DENIED_ERROR && !on) {
    return " (check the user and password; a server that requires TLS, with "
           "require_secure_transport or a user created REQUIRE SSL, refuses "
           "a plain connection the same way: then give --mysql_ssl_ca)";
  }
  if (code == CR_SSL_CONNECTION_ERROR && on) {
    return " (the TLS handshake failed: --mysql_ssl_ca must name the CA that "
           "signed the server's certificate, and the certificate must carry "
           "the host of --mysql_server_url)";
  }
  return "";
}

void MariadbTls::Apply(st_mysql* mysql) {
  const auto options = Current();
  if (options == nullptr) return;
  if (!options->ca.empty()) {
    mysql_optionsv(mysql, MYSQL_OPT_SSL_CA, options->ca.c_str());
  }
  if (!options->cert.empty()) {
    mysql_optionsv(mysql, MYSQL_OPT_SSL_CERT, options->cert.c_str());
    mysql_optionsv(mysql, MYSQL_OPT_SSL_KEY, options->key.c_str());
  }
  const my_bool verify = !options->ca.empty() && options->verify_server_cert;
  mysql_optionsv(mysql, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verify);
  // Without this the connector falls back to plain text when the server
  // does not offer TLS.
  const my_bool enforce = 1;
  mysql_optionsv(mysql, MYSQL_OPT_SSL_ENFORCE, &enforce);
}

}  // namespace vel

// TLS of every MariaDB connection the process opens (the pools of
// vel::Mariadb and vel::MariadbProbe), through MariaDB Connector/C's own
// options. Configured once at start-up, before the first connection; the
// connections apply it on their own threads. Thread-safe.
#pragma once

#include <string>

struct st_mysql;  // MYSQL of Connector/C

namespace vel {

class MariadbTls {
 public:
  struct Options {
    std::string ca;    // CA file that signed the server's certificate
    std::string cert;  // client certificate file (with `key`), optional
    std::string key;   // its private key file
    // Checks the server's name against the host connected to. Takes effect
    // only with a CA; the connector checks the certificate against a given
    // CA in any case.
    bool verify_server_cert = true;

    // TLS is asked for when any file is given.
    bool enabled() const {
      return !ca.empty() || !cert.empty() || !key.empty();
    }
  };

  // Sets the TLS of connections opened from now on. Returns false with
  // *error set (the settings stay as they were) when a file cannot be read,
  // or a certificate comes without its key or a key without its
  // certificate. Options with no file turn TLS off (the default).
  static bool Configure(const Options& options, std::string* error);

  // A line for the start-up log: "off", or the files and whether the
  // server's certificate is verified.
  static std::string Describe();

  // What an operator should look at after a failed connect with `code`,
  // as text to append to the log line ("" when TLS is no suspect). MariaDB
  // answers a plain connection it requires TLS of exactly as a wrong
  // password ("Access denied"), so that case is named.
  static std::string ConnectHint(unsigned code);

  // Applies the configured TLS to a handle before mysql_real_connect. With
  // TLS asked for, a server that does not offer it is refused instead of
  // spoken to in plain text.
  static void Apply(st_mysql* mysql);

  MariadbTls() = delete;
};

}  // namespace vel

#include "vel/mariadb/mariadb_probe.h"

#include <mysql.h>

#include <algorithm>

#include "vel/mariadb/mariadb_tls.h"

namespace vel {

// The connector's handle, closed when the Handle goes.
struct MariadbProbe::Handle {
  MYSQL* mysql = nullptr;
  ~Handle() {
    if (mysql != nullptr) mysql_close(mysql);
  }
};

MariadbProbe::MariadbProbe(const std::string& server_url,
                           const std::string& user_id,
                           const std::string& password,
                           const std::string& database,
                           unsigned timeout_seconds)
    : server_url_(server_url),
      user_id_(user_id),
      password_(password),
      database_(database),
      timeout_seconds_(std::max(timeout_seconds, 1u)) {}

MariadbProbe::~MariadbProbe() = default;

bool MariadbProbe::Connect(std::string* error) {
  Mariadb::ServerAddress address;
  if (!Mariadb::ParseServerUrl(server_url_, &address)) {
    *error = "bad server url '" + server_url_ + "'";
    return false;
  }
  auto handle = std::make_unique<Handle>();
  handle->mysql = mysql_init(nullptr);
  if (handle->mysql == nullptr) {
    *error = "mysql_init failed";
    return false;
  }
  MYSQL* mysql = handle->mysql;
  const bool unix_socket = !address.unix_socket.empty();
  const unsigned protocol =
      unix_socket ? MYSQL_PROTOCOL_SOCKET : MYSQL_PROTOCOL_TCP;
  const my_bool no = 0;
  const unsigned no_local_infile = 0;
  mysql_optionsv(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout_seconds_);
  mysql_optionsv(mysql, MYSQL_OPT_READ_TIMEOUT, &timeout_seconds_);
  mysql_optionsv(mysql, MYSQL_OPT_WRITE_TIMEOUT, &timeout_seconds_);
  mysql_optionsv(mysql, MYSQL_OPT_PROTOCOL, &protocol);
  mysql_optionsv(mysql, MYSQL_OPT_RECONNECT, &no);
  mysql_optionsv(mysql, MYSQL_OPT_LOCAL_INFILE, &no_local_infile);
  MariadbTls::Apply(mysql);
  if (mysql_real_connect(
          mysql, unix_socket ? "localhost" : address.host.c_str(),
          user_id_.c_str(), password_.c_str(),
          database_.empty() ? nullptr : database_.c_str(), address.port,
          unix_socket ? address.unix_socket.c_str() : nullptr, 0) == nullptr) {
    *error = "cannot connect: " + std::string(mysql_error(mysql));
    return false;
  }
  handle_ = std::move(handle);
  return true;
}

bool MariadbProbe::Check(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!handle_ && !Connect(error)) return false;
  MYSQL* mysql = handle_->mysql;
  bool answered = false;
  if (mysql_query(mysql, "SELECT 1") != 0) {
    *error = "SELECT 1 failed: " + std::string(mysql_error(mysql));
  } else if (MYSQL_RES* result = mysql_store_result(mysql)) {
    MYSQL_ROW row = mysql_fetch_row(result);
    answered =
        row != nullptr && row[0] != nullptr && std::string(row[0]) == "1";
    mysql_free_result(result);
    if (!answered) *error = "SELECT 1 gave an unexpected answer";
  } else {
    *error = "SELECT 1 gave no result: " + std::string(mysql_error(mysql));
  }
  if (!answered) handle_.reset();
  return answered;
}

}  // namespace vel

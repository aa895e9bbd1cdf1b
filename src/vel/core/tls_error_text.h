// The text of a failed OpenSSL call (through Boost.Asio's SSL streams and
// contexts), for log lines and errors: OpenSSL's queued reason when it gave
// one ("no such file", "key values mismatch"), else the error's message;
// the queue is cleared. Header-only, so that the client library can use it
// without the host's libraries; callers link OpenSSL. Any thread (OpenSSL's
// error queue is per thread).
#pragma once

#include <openssl/err.h>

#include <boost/system/error_code.hpp>
#include <string>

namespace vel {

inline std::string TlsErrorText(const boost::system::error_code& error) {
  std::string text = error.message();
  const unsigned long queued = ERR_get_error();
  if (queued != 0) {
    char buffer[256];
    ERR_error_string_n(queued, buffer, sizeof buffer);
    text = buffer;
  }
  ERR_clear_error();
  return text;
}

}  // namespace vel

// A minimal blocking HTTP/1.1 client for tests of the host's API.
#pragma once

#include <map>
#include <string>

#include "vel/http/http_request.h"

namespace plemox_test {

struct HttpAnswer {
  int status = 0;  // 0 when the request failed
  std::string content_type;
  std::string body;
  // Every header of the answer (names in any case).
  vel::HttpRequest::Headers headers;
};

// Sends `method` (GET, PUT, ...) for `target` to 127.0.0.1:`port`, with
// `headers` besides Host and `body` (none when empty), and waits for the
// answer (5 s at most).
HttpAnswer HttpRequest(int port, const std::string& method,
                       const std::string& target,
                       const std::map<std::string, std::string>& headers = {},
                       const std::string& body = "");

}  // namespace plemox_test

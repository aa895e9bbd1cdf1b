// A minimal blocking HTTP/1.1 client for tests of the host's API.
#pragma once

#include <string>

namespace plemox_test {

struct HttpAnswer {
  int status = 0;  // 0 when the request failed
  std::string content_type;
  std::string body;
};

// Sends `method` (GET, PUT, ...) for `target` to 127.0.0.1:`port` and waits
// for the answer (5 s at most).
HttpAnswer HttpRequest(int port, const std::string& method,
                       const std::string& target);

}  // namespace plemox_test

// One HTTP response as a route handler fills it: the status, the headers and
// the body. The API service adds Content-Length and Connection itself.
// A plain value; not thread-safe.
#pragma once

#include <map>
#include <string>

namespace vel {

struct HttpResponse {
  // Any status from 100 to 599; anything else is answered as 500.
  int status = 200;
  // Names and values must not hold CR or LF; such headers are dropped with an
  // error in the log.
  std::map<std::string, std::string> headers;
  std::string body;
};

}  // namespace vel

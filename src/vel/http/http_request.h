// One HTTP request as the API service hands it to route handlers: the method,
// the target split into path and query string, the headers and the body.
// A plain value; safe to read from any thread as long as nobody writes it.
#pragma once

#include <strings.h>

#include <map>
#include <string>

namespace vel {

struct HttpRequest {
  // Orders header names without regard to case ("content-type" finds
  // "Content-Type").
  struct HeaderNameLess {
    bool operator()(const std::string& a, const std::string& b) const {
      return ::strcasecmp(a.c_str(), b.c_str()) < 0;
    }
  };
  using Headers = std::map<std::string, std::string, HeaderNameLess>;

  // The method as an ApiService::Method bit (kGet, kPost, kPut, kDelete), or 0
  // for any other method.
  int method = 0;
  // The method as sent ("GET", "PATCH", ...).
  std::string method_name;
  // The request target as sent, path and query together.
  std::string target;
  // The target up to the first '?', not percent-decoded. Routes match this.
  std::string path;
  // The text after the first '?', empty when there is none.
  std::string query;
  // Repeated headers are joined with ", ".
  Headers headers;
  std::string body;
  // "address:port" of the peer, for logs.
  std::string remote;

  // The value of header `name`, or an empty string when it is absent.
  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

}  // namespace vel

#include "vel/redis/internal/redis_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vel {
namespace redis_internal {
namespace {

// Longest text of a key or value written to a log line.
constexpr std::size_t kMaxLoggedBytes = 200;

}  // namespace

// `bytes` for a log line: non-printable bytes as \xNN, cut after
// kMaxLoggedBytes.
std::string Printable(const std::string& bytes) {
  std::string text;
  const std::size_t n = std::min(bytes.size(), kMaxLoggedBytes);
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      text.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
      text += escaped;
    }
  }
  if (bytes.size() > n) text += "...";
  return text;
}

// "ZADD key=..." for log lines.
std::string Describe(const std::vector<std::string>& args) {
  std::string text = args.empty() ? "?" : args[0];
  if (args.size() > 1) text += " key=" + Printable(args[1]);
  return text;
}

std::string FormatScore(double score) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.17g", score);
  return text;
}

// Parses a Redis score ("1.5", "inf", "-inf"); false unless the whole text
// is a number.
bool ParseScore(const char* data, std::size_t length, double* out) {
  if (data == nullptr || length == 0 || length >= 64) return false;
  char text[64];
  std::memcpy(text, data, length);
  text[length] = '\0';
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end != text + length) return false;
  *out = value;
  return true;
}

const char* ValueTypeName(RedisValue::Type type) {
  switch (type) {
    case RedisValue::kString:
      return "string";
    case RedisValue::kArray:
      return "array";
    case RedisValue::kInteger:
      return "integer";
    case RedisValue::kNil:
      return "nil";
    case RedisValue::kStatus:
      return "status";
    case RedisValue::kError:
      return "error";
  }
  return "unknown";
}

// Parses "host:port", "[v6 address]:port" or a Unix socket path ("/...")
// into `out`; false when malformed.
bool ParseEndpoint(const std::string& address, RedisEndpoint* out) {
  if (!address.empty() && address[0] == '/') {
    out->host = address;
    out->port = 0;
    return true;
  }
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int number = std::stoi(port);
  if (number < 1 || number > 65535) return false;
  out->host = host;
  out->port = number;
  return true;
}

bool ParseEndpointList(const std::string& list, const RedisEndpoint& defaults,
                       const std::string& what, std::vector<RedisEndpoint>* out,
                       std::string* error) {
  std::vector<RedisEndpoint> parsed;
  for (const std::string& entry : SplitList(list)) {
    RedisEndpoint endpoint = defaults;
    if (entry[0] == '/' || !ParseEndpoint(entry, &endpoint)) {
      *error = "bad " + what + " address '" + Printable(entry) +
               "': expected host:port with a port from 1 to 65535";
      return false;
    }
    parsed.push_back(std::move(endpoint));
  }
  if (parsed.empty()) {
    *error = "no " + what + " address given";
    return false;
  }
  *out = std::move(parsed);
  return true;
}

std::string Trim(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  const std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string entry = Trim(list.substr(start, comma - start));
    start = comma + 1;
    if (!entry.empty()) entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace redis_internal
}  // namespace vel

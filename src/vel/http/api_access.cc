#include "vel/http/api_access.h"

#include <strings.h>

#include <fstream>
#include <memory>
#include <mutex>

namespace vel {
namespace {

std::mutex the_token_mutex;
std::shared_ptr<const std::string> the_token;  // GUARDED_BY(the_token_mutex)

std::shared_ptr<const std::string> Token() {
  std::lock_guard<std::mutex> lock(the_token_mutex);
  return the_token;
}

std::string Trim(const std::string& text) {
  const char* const kBlanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return "";
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

void ApiAccess::SetToken(const std::string& token) {
  auto value =
      token.empty() ? nullptr : std::make_shared<const std::string>(token);
  std::lock_guard<std::mutex> lock(the_token_mutex);
  the_token = std::move(value);
}

bool ApiAccess::HasToken() { return Token() != nullptr; }

bool ApiAccess::EqualInConstantTime(const std::string& a,
                                    const std::string& b) {
  // Every byte of `b` is looked at whatever `a` holds, so the time tells
  // nothing about how long a prefix of the secret `b` was guessed.
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < b.size(); ++i) {
    const unsigned char left =
        i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    difference |= static_cast<unsigned char>(left ^ b[i]);
  }
  return difference == 0;
}

ApiAccess::Verdict ApiAccess::Check(const HttpRequest& request) {
  const auto token = Token();
  if (!token) return Verdict::kAllowed;
  const std::string header = Trim(request.Header("Authorization"));
  static const std::string kScheme = "Bearer ";
  if (header.size() <= kScheme.size() ||
      ::strncasecmp(header.c_str(), kScheme.c_str(), kScheme.size()) != 0) {
    return Verdict::kMissingToken;
  }
  const std::string given = Trim(header.substr(kScheme.size()));
  return EqualInConstantTime(given, *token) ? Verdict::kAllowed
                                            : Verdict::kWrongToken;
}

bool ApiAccess::LoadToken(const std::string& token,
                          const std::string& token_file, std::string* out,
                          std::string* error) {
  if (!token.empty() && !token_file.empty()) {
    *error = "give the API token by --api_token or --api_token_file, not both";
    return false;
  }
  std::string value = token;
  if (!token_file.empty()) {
    std::ifstream in(token_file);
    if (!in) {
      *error = "cannot read the API token file " + token_file;
      return false;
    }
    std::getline(in, value);
    value = Trim(value);
    if (value.empty()) {
      *error = "the API token file " + token_file + " has no token";
      return false;
    }
  }
  if (!value.empty() && value.size() < kMinTokenLength) {
    *error = "the API token must have at least " +
             std::to_string(kMinTokenLength) + " characters";
    return false;
  }
  for (const char c : value) {
    if (c <= ' ' || c > '~') {
      *error =
          "the API token may hold only visible ASCII characters (no blanks)";
      return false;
    }
  }
  *out = value;
  return true;
}

}  // namespace vel

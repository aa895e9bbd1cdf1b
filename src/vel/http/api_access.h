// The API token of the HTTP API service: when one is set, every route not
// registered as open needs the request header "Authorization: Bearer
// <token>". Set once at host start-up, before the service starts; read by
// the connections on the API threads. Every function is thread-safe.
#pragma once

#include <string>

#include "vel/http/http_request.h"

namespace vel {

class ApiAccess {
 public:
  // What a request's credentials amount to.
  enum class Verdict { kAllowed, kMissingToken, kWrongToken };

  // Sets the token; an empty one turns the check off (the default).
  static void SetToken(const std::string& token);
  static bool HasToken();

  // kAllowed without a token, or when `request` carries "Authorization:
  // Bearer <token>" (the scheme in any case). The token is compared in time
  // that does not depend on how much of it the request got right.
  static Verdict Check(const HttpRequest& request);

  // The token of host start-up from its two sources: `token` itself, or the
  // first line of the file `token_file` (blanks around it trimmed). Both
  // empty gives an empty token (no check). Returns false with *error set
  // when both are given, the file cannot be read, or the token is shorter
  // than kMinTokenLength or holds anything but visible ASCII characters.
  // REQUIRES: out != nullptr, error != nullptr.
  static bool LoadToken(const std::string& token, const std::string& token_file,
                        std::string* out, std::string* error);

  // Guessing a token of this many random characters is out of reach.
  static constexpr std::size_t kMinTokenLength = 16;

  // Whether `a` and `b` are equal, in time that depends only on b's length.
  static bool EqualInConstantTime(const std::string& a, const std::string& b);

  ApiAccess() = delete;
};

}  // namespace vel

// Percent-decoding of the parts of a request target: route handlers get the
// path and the query string as sent (HttpRequest), and decode the values they
// read from them. Pure; any thread.
#pragma once

#include <string>

namespace vel {

class PercentDecoding {
 public:
  // `text` with every "%XY" replaced by the byte 0xXY, and with
  // `plus_is_blank` every '+' by a blank (a query string's form; in a path a
  // '+' is itself). False, *out unspecified, for a '%' not followed by two
  // hex digits.
  static bool Decode(const std::string& text, bool plus_is_blank,
                     std::string* out);

  PercentDecoding() = delete;
};

}  // namespace vel

#include "vel/http/percent_decoding.h"

namespace vel {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool PercentDecoding::Decode(const std::string& text, bool plus_is_blank,
                             std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+' && plus_is_blank) {
      out->push_back(' ');
    } else if (text[i] != '%') {
      out->push_back(text[i]);
    } else {
      if (i + 2 >= text.size()) return false;
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    }
  }
  return true;
}

}  // namespace vel

#include "vel/core/json.h"

namespace vel {

bool Json::Parse(const std::string& text, Json* out) {
  auto parsed = Value::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return false;
  out->value_ = std::move(parsed);
  return true;
}

Json Json::operator[](const std::string& key) const {
  if (!value_.is_object()) return Json();
  auto it = value_.find(key);
  return it == value_.end() ? Json() : Json(*it);
}

}  // namespace vel

// A JSON value (over nlohmann::ordered_json: objects keep the order in which
// members were added, so answers read in the documented order) with the small
// accessor set that the manifest, the HTTP API and the counters use. A value
// type; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>
#include <utility>

namespace vel {

class Json {
 public:
  using Value = nlohmann::ordered_json;

  Json() = default;  // null
  // Any value nlohmann can hold: strings, numbers, booleans, Value.
  template <typename T, typename = std::enable_if_t<
                            !std::is_same<std::decay_t<T>, Json>::value &&
                            std::is_constructible<Value, T>::value>>
  Json(T&& value) : value_(std::forward<T>(value)) {}  // NOLINT

  static Json MakeObject() { return Json(Value::object()); }
  static Json MakeArray() { return Json(Value::array()); }

  // Parses `text`; on a syntax error returns false and leaves *out unchanged.
  static bool Parse(const std::string& text, Json* out);

  bool IsNull() const { return value_.is_null(); }
  bool IsArray() const { return value_.is_array(); }
  bool IsObject() const { return value_.is_object(); }
  bool IsString() const { return value_.is_string(); }
  bool IsBool() const { return value_.is_boolean(); }
  // Integral numbers only (not 1.5).
  bool IsInt() const { return value_.is_number_integer(); }
  bool IsNumber() const { return value_.is_number(); }

  // Elements of an array or members of an object; 0 for other types.
  std::size_t Size() const {
    return value_.is_array() || value_.is_object() ? value_.size() : 0;
  }

  // The i-th element. REQUIRES: IsArray() and i < Size().
  Json operator[](std::size_t i) const { return Json(value_.at(i)); }
  // Whether an object has `key`.
  bool HasMember(const std::string& key) const {
    return value_.is_object() && value_.contains(key);
  }
  // The member `key`, or null when absent or not an object.
  Json operator[](const std::string& key) const;

  // Typed reads. REQUIRES: the matching Is...() is true.
  std::string GetString() const { return value_.get<std::string>(); }
  std::int64_t GetInt() const { return value_.get<std::int64_t>(); }
  bool GetBool() const { return value_.get<bool>(); }
  double GetDouble() const { return value_.get<double>(); }

  // Writes: turn the value into an object / array as needed.
  void Set(const std::string& key, Json value) {
    value_[key] = std::move(value.value_);
  }
  void Append(Json value) { value_.push_back(std::move(value.value_)); }

  // JSON text; indented with `pretty`, compact otherwise.
  std::string ToString(bool pretty = false) const {
    return pretty ? value_.dump(2) : value_.dump();
  }

  // The type's name as the host prints it: "null", "object", "array",
  // "string", "boolean", "number".
  std::string TypeName() const { return value_.type_name(); }

  const Value& value() const { return value_; }
  Value& value() { return value_; }

 private:
  Value value_;
};

}  // namespace vel

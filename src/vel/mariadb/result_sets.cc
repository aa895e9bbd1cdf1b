#include "vel/mariadb/result_sets.h"

#include <glog/logging.h>

#include <charconv>
#include <cmath>
#include <limits>

namespace vel {
namespace {

// Parses the whole of [begin, end) as T; false when anything is left over.
template <typename T>
bool ParseWhole(const char* begin, const char* end, T* value) {
  if (begin == end) return false;
  // from_chars rejects a leading '+', which the server never writes but a
  // CAST to CHAR of user data might hold.
  if (*begin == '+') ++begin;
  const auto result = std::from_chars(begin, end, *value);
  return result.ec == std::errc() && result.ptr == end;
}

}  // namespace

void ResultSets::AddResultSet(std::vector<std::string> column_names) {
  sets_.push_back(ResultSet{std::move(column_names), {}});
}

void ResultSets::AddRow(Row row) {
  CHECK(!sets_.empty()) << "Assert failed: ! sets_.empty()";
  sets_.back().rows.push_back(std::move(row));
}

void ResultSets::AddAffectedRows(std::uint64_t count) {
  affected_rows_ += count;
}

bool ResultSets::SeekNextResultSet() {
  row_index_ = -1;
  if (set_index_ < static_cast<std::ptrdiff_t>(sets_.size())) ++set_index_;
  return set_index_ < static_cast<std::ptrdiff_t>(sets_.size());
}

bool ResultSets::SeekNextRow() {
  if (set_index_ < 0 || set_index_ >= static_cast<std::ptrdiff_t>(sets_.size()))
    return false;
  const auto row_count =
      static_cast<std::ptrdiff_t>(sets_[set_index_].rows.size());
  if (row_index_ < row_count) ++row_index_;
  return row_index_ < row_count;
}

std::size_t ResultSets::GetColumnCount() const {
  if (set_index_ < 0 || set_index_ >= static_cast<std::ptrdiff_t>(sets_.size()))
    return 0;
  return sets_[set_index_].column_names.size();
}

std::size_t ResultSets::GetRowCount() const {
  if (set_index_ < 0 || set_index_ >= static_cast<std::ptrdiff_t>(sets_.size()))
    return 0;
  return sets_[set_index_].rows.size();
}

std::string ResultSets::GetColumnName(std::size_t column) const {
  if (column >= GetColumnCount()) return "";
  return sets_[set_index_].column_names[column];
}

const std::string* ResultSets::Value(std::size_t column) const {
  if (set_index_ < 0 || set_index_ >= static_cast<std::ptrdiff_t>(sets_.size()))
    return nullptr;
  const ResultSet& set = sets_[set_index_];
  if (row_index_ < 0 ||
      row_index_ >= static_cast<std::ptrdiff_t>(set.rows.size()))
    return nullptr;
  const Row& row = set.rows[row_index_];
  if (column >= row.size() || !row[column].has_value()) return nullptr;
  return &*row[column];
}

std::string ResultSets::GetString(std::size_t column,
                                  const std::string& def) const {
  const std::string* value = Value(column);
  return value != nullptr ? *value : def;
}

std::int64_t ResultSets::GetInt(std::size_t column, std::int64_t def) const {
  const std::string* value = Value(column);
  if (value == nullptr) return def;
  const char* begin = value->data();
  const char* end = begin + value->size();
  std::int64_t integer = 0;
  if (ParseWhole(begin, end, &integer)) return integer;
  double real = 0;
  if (!ParseWhole(begin, end, &real) || !std::isfinite(real)) return def;
  real = std::trunc(real);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (real >= kLimit || real < -kLimit) return def;
  return static_cast<std::int64_t>(real);
}

double ResultSets::GetDouble(std::size_t column, double def) const {
  const std::string* value = Value(column);
  if (value == nullptr) return def;
  double real = 0;
  if (!ParseWhole(value->data(), value->data() + value->size(), &real))
    return def;
  return real;
}

bool ResultSets::IsNull(std::size_t column) const {
  return Value(column) == nullptr;
}

}  // namespace vel

// ResultSets: every result set that one statement text produced (a
// multi-statement text or a stored procedure can produce several), fully
// buffered in memory so it can be read on any thread after the database
// connection has moved on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vel {

// A cursor over buffered result sets. Only statements that return columns
// (SELECT, SHOW, a procedure's SELECT, ...) yield a result set; statements
// without columns (INSERT, UPDATE, a procedure's final status) only add to
// the affected-row count.
//
// The cursor starts BEFORE the first result set: call SeekNextResultSet, then
// SeekNextRow, before reading values. Not thread-safe: one thread at a time
// (the callback that received it, or whoever it hands the object to).
class ResultSets {
 public:
  // One row: a value per column, std::nullopt for SQL NULL.
  using Row = std::vector<std::optional<std::string>>;

  ResultSets() = default;
  ResultSets(const ResultSets&) = default;
  ResultSets& operator=(const ResultSets&) = default;

  // --- Building; used by the database client while it reads results. ---

  // Appends a result set with these column names and no rows yet.
  void AddResultSet(std::vector<std::string> column_names);
  // Appends a row to the last added result set.
  // REQUIRES: AddResultSet was called before.
  void AddRow(Row row);
  // Adds the rows changed by a statement that returned no result set.
  void AddAffectedRows(std::uint64_t count);

  // --- Reading. ---

  // Moves to the next result set (positioned before its first row). Returns
  // false, and leaves no current result set, when none is left.
  bool SeekNextResultSet();
  // Moves to the next row of the current result set; false when none is
  // left or there is no current result set.
  bool SeekNextRow();

  // The number of result sets (statements that returned columns).
  std::size_t GetResultSetCount() const { return sets_.size(); }
  // Columns and rows of the current result set; 0 without one.
  std::size_t GetColumnCount() const;
  std::size_t GetRowCount() const;
  // The name (or alias) of a column of the current result set; "" when out
  // of range or without a current result set.
  std::string GetColumnName(std::size_t column) const;
  // Rows changed by all statements of the text that returned no result set.
  std::uint64_t GetAffectedRowCount() const { return affected_rows_; }

  // Values of the current row. Each returns `def` when the value is NULL,
  // the column is out of range, or there is no current row.
  std::string GetString(std::size_t column, const std::string& def = "") const;
  // Integer text as is; decimal text (such as "12.50" of a DECIMAL column) is
  // truncated toward zero. Text that is not a number, or whose value does
  // not fit a signed 64-bit integer, gives `def`.
  std::int64_t GetInt(std::size_t column, std::int64_t def = 0) const;
  // Decimal or scientific text; anything else gives `def`.
  double GetDouble(std::size_t column, double def = 0) const;
  // True when the value is NULL, and also when there is no such value (out
  // of range, no current row).
  bool IsNull(std::size_t column) const;

 private:
  struct ResultSet {
    std::vector<std::string> column_names;
    std::vector<Row> rows;
  };

  // The current value, or nullptr when absent or NULL.
  const std::string* Value(std::size_t column) const;

  std::vector<ResultSet> sets_;
  // -1: before the first; sets_.size(): past the last.
  std::ptrdiff_t set_index_ = -1;
  // -1: before the first row of the current set.
  std::ptrdiff_t row_index_ = -1;
  std::uint64_t affected_rows_ = 0;
};

}  // namespace vel

// The loop of the store's chunked reads (recovery): a table read in primary
// key order, one bounded statement per chunk resuming after the last row
// read, so that memory stays one chunk whatever the table's size. Database
// library only; the caller's thread (synchronous).
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace plemox {
namespace store_internal {

// Reads chunks with `read_chunk` (the rows after `after`, from the first
// when null, at most `chunk_rows`; false on a failed read) and hands each to
// `on_chunk` before reading the next. True once a chunk comes back shorter
// than `chunk_rows`; false when a read failed or `on_chunk` returned false.
template <typename Row>
bool ReadKeyOrderedChunks(
    std::size_t chunk_rows,
    const std::function<bool(const Row* after, std::vector<Row>* chunk)>&
        read_chunk,
    const std::function<bool(std::vector<Row>* chunk)>& on_chunk) {
  Row last;
  bool started = false;
  for (;;) {
    std::vector<Row> chunk;
    if (!read_chunk(started ? &last : nullptr, &chunk)) return false;
    if (chunk.empty()) return true;
    const bool last_chunk = chunk.size() < chunk_rows;
    last = chunk.back();
    started = true;
    if (!on_chunk(&chunk)) return false;
    if (last_chunk) return true;
  }
}

}  // namespace store_internal
}  // namespace plemox

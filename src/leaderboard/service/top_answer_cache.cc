#include "leaderboard/service/top_answer_cache.h"

#include <algorithm>
#include <iterator>

#include "common/leaderboard_flags.h"

namespace plemox {

TopAnswerCache::TopAnswerCache(std::int64_t lifetime_us, std::size_t max_bytes)
    : lifetime_us_(lifetime_us),
      max_bytes_(max_bytes),
      max_boards_(std::max<std::size_t>(16, max_bytes / 1024)) {}

std::unordered_map<std::string, TopAnswerCache::Board>::iterator
TopAnswerCache::MakeBoardLocked(const std::string& leaderboard_id) {
  if (boards_.size() >= max_boards_) {
    for (auto board = boards_.begin(); board != boards_.end();) {
      board = board->second.answers.empty() ? boards_.erase(board)
                                            : std::next(board);
    }
  }
  const auto board = boards_.emplace(leaderboard_id, Board()).first;
  board->second.stamp = ++clock_;
  return board;
}

TopAnswerCache::Lookup TopAnswerCache::Find(const std::string& leaderboard_id,
                                            const std::string& answer_key,
                                            std::int64_t now_us) {
  Lookup lookup;
  std::lock_guard<std::mutex> lock(mutex_);
  auto board = boards_.find(leaderboard_id);
  if (board == boards_.end()) {
    board = MakeBoardLocked(leaderboard_id);
  } else {
    const auto entry = board->second.answers.find(answer_key);
    if (entry != board->second.answers.end()) {
      if (now_us - entry->second.read_at_us < lifetime_us_) {
        lookup.answer = entry->second.answer;
        lookup.wire = entry->second.wire;
        return lookup;
      }
      EraseLocked(board, entry);
      // The board may be gone with its last answer; the read that follows
      // needs one for its ticket.
      board = boards_.find(leaderboard_id);
      if (board == boards_.end()) board = MakeBoardLocked(leaderboard_id);
    }
  }
  lookup.ticket = clock_;
  return lookup;
}

void TopAnswerCache::Store(const std::string& leaderboard_id,
                           const std::string& answer_key, std::uint64_t ticket,
                           std::int64_t read_at_us,
                           std::shared_ptr<const QueryResult> answer,
                           std::shared_ptr<const std::string> wire) {
  if (!answer) return;
  const std::size_t size =
      SizeOf(leaderboard_id, answer_key, *answer, wire.get());
  if (size > max_bytes_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto board = boards_.find(leaderboard_id);
  if (board == boards_.end() || board->second.stamp > ticket) return;
  const auto old = board->second.answers.find(answer_key);
  if (old != board->second.answers.end()) {
    // Two reads of the same answer: the later read wins.
    if (old->second.read_at_us >= read_at_us) return;
    EraseLocked(board, old);
  }
  MakeRoomLocked(size, read_at_us);
  // Making room may have taken the board with its last answer; it is made
  // again for this answer, which was read before any invalidation.
  board = boards_.find(leaderboard_id);
  if (board == boards_.end()) board = MakeBoardLocked(leaderboard_id);
  Entry entry;
  entry.answer = std::move(answer);
  entry.wire = std::move(wire);
  entry.read_at_us = read_at_us;
  entry.bytes = size;
  entry.age = age_.emplace(age_.end(), leaderboard_id, answer_key);
  board->second.answers.emplace(answer_key, std::move(entry));
  bytes_ += size;
}

void TopAnswerCache::Invalidate(const std::string& leaderboard_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto board = boards_.find(leaderboard_id);
  if (board == boards_.end()) return;
  for (const auto& [key, entry] : board->second.answers) {
    bytes_ -= entry.bytes;
    age_.erase(entry.age);
  }
  boards_.erase(board);
}

void TopAnswerCache::InvalidateAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  boards_.clear();
  age_.clear();
  bytes_ = 0;
}

std::size_t TopAnswerCache::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

std::size_t TopAnswerCache::SizeOf(const std::string& leaderboard_id,
                                   const std::string& answer_key,
                                   const QueryResult& answer,
                                   const std::string* wire) {
  // The entry, its place in the age list (with both names again), the
  // answer with every string it holds and its wire form.
  std::size_t size = sizeof(Entry) + sizeof(QueryResult) +
                     2 * (leaderboard_id.size() + answer_key.size()) + 128 +
                     (wire != nullptr ? sizeof(*wire) + wire->size() : 0);
  for (const auto& record : answer.records) {
    size += sizeof(record) + record.display_name.size() +
            record.metadata.size() + record.account.id().size() +
            record.account.service_provider().size();
  }
  return size;
}

void TopAnswerCache::EraseLocked(
    std::unordered_map<std::string, Board>::iterator board,
    std::unordered_map<std::string, Entry>::iterator entry) {
  bytes_ -= entry->second.bytes;
  age_.erase(entry->second.age);
  board->second.answers.erase(entry);
  if (board->second.answers.empty()) boards_.erase(board);
}

void TopAnswerCache::MakeRoomLocked(std::size_t needed, std::int64_t now_us) {
  while (!age_.empty()) {
    const auto& [leaderboard_id, answer_key] = age_.front();
    const auto board = boards_.find(leaderboard_id);
    const auto entry = board->second.answers.find(answer_key);
    const bool expired = now_us - entry->second.read_at_us >= lifetime_us_;
    if (!expired && bytes_ + needed <= max_bytes_) break;
    EraseLocked(board, entry);
  }
}

TopAnswerCache* TopAnswerCache::Instance() {
  static TopAnswerCache* const instance = []() -> TopAnswerCache* {
    if (FLAGS_top_answer_cache_ms == 0) return nullptr;
    static TopAnswerCache cache(
        static_cast<std::int64_t>(FLAGS_top_answer_cache_ms) * 1000,
        static_cast<std::size_t>(FLAGS_top_answer_cache_max_bytes));
    return &cache;
  }();
  return instance;
}

void TopAnswerCache::DropAnswersOf(const std::string& leaderboard_id) {
  TopAnswerCache* const cache = Instance();
  if (cache != nullptr) cache->Invalidate(leaderboard_id);
}

}  // namespace plemox

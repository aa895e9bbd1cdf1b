// TopAnswerCache: recent answers of public from-top queries over the first
// ranks of a ranking, kept in the server for a short time so that the most
// frequent read of a game (a leaderboard screen's top list) need not read
// Redis each time. An answer is served for at most the cache's lifetime
// after the query that read it started, and a write through this server
// drops the answers of its leaderboard at once (Invalidate): a game server
// reads its own writes, writes through other servers show within the
// lifetime. Memory is bounded; the oldest answers go first.
//
// Every member function is thread-safe (one short lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "database/cache/query_result.h"

namespace plemox {

class TopAnswerCache {
 public:
  // What Find tells: a fresh answer (with its wire form when it was stored
  // with one), or none and the ticket to Store the answer that the caller
  // is about to read.
  struct Lookup {
    std::shared_ptr<const QueryResult> answer;
    std::shared_ptr<const std::string> wire;
    std::uint64_t ticket = 0;
  };

  // Answers live `lifetime_us` microseconds after their read started; the
  // answers held take at most about `max_bytes` (an answer larger than that
  // is not kept).
  TopAnswerCache(std::int64_t lifetime_us, std::size_t max_bytes);
  TopAnswerCache(const TopAnswerCache&) = delete;
  TopAnswerCache& operator=(const TopAnswerCache&) = delete;

  // The answer under (`leaderboard_id`, `answer_key`) when it is younger
  // than the lifetime at `now_us` (monotonic clock); else no answer and a
  // ticket for Store.
  Lookup Find(const std::string& leaderboard_id, const std::string& answer_key,
              std::int64_t now_us);

  // Keeps `answer`, read by a query that started at `read_at_us` after Find
  // gave it `ticket`, and `wire`, the same answer serialized as the caller
  // sends it (may be null). Dropped instead when the leaderboard was
  // invalidated since that ticket was given (the read may predate the write),
  // and when it does not fit the bound. Evicts the oldest answers to make room.
  void Store(const std::string& leaderboard_id, const std::string& answer_key,
             std::uint64_t ticket, std::int64_t read_at_us,
             std::shared_ptr<const QueryResult> answer,
             std::shared_ptr<const std::string> wire = nullptr);

  // Drops every answer of `leaderboard_id`, and every answer read from
  // before this call that is still to be stored.
  void Invalidate(const std::string& leaderboard_id);
  // Invalidate for every leaderboard.
  void InvalidateAll();

  // The bytes the answers held take (an estimate of their heap use).
  std::size_t bytes() const;

  // The process-wide cache of the service, sized by --top_answer_cache_ms
  // and --top_answer_cache_max_bytes on first use; null when the cache is
  // off. Any thread.
  static TopAnswerCache* Instance();
  // Instance()->Invalidate(leaderboard_id) when the cache is on: every
  // write to the rankings through this server calls it once the write is
  // done and before its answer. Any thread.
  static void DropAnswersOf(const std::string& leaderboard_id);

 private:
  struct Entry {
    std::shared_ptr<const QueryResult> answer;
    std::shared_ptr<const std::string> wire;
    std::int64_t read_at_us = 0;
    std::size_t bytes = 0;
    // This entry's place in age_.
    std::list<std::pair<std::string, std::string>>::iterator age;
  };
  struct Board {
    // The clock_ value when the board was made: tickets given before it may
    // predate an invalidation, so Store refuses them.
    std::uint64_t stamp = 0;
    std::unordered_map<std::string, Entry> answers;
  };

  static std::size_t SizeOf(const std::string& leaderboard_id,
                            const std::string& answer_key,
                            const QueryResult& answer, const std::string* wire);
  // Removes one answer, and its board with its last answer (a board made
  // anew refuses every older ticket). REQUIRES mutex_.
  void EraseLocked(std::unordered_map<std::string, Board>::iterator board,
                   std::unordered_map<std::string, Entry>::iterator entry);
  // Makes the board of `leaderboard_id` with a new stamp, first forgetting
  // the boards without answers when there are max_boards_ already (reads
  // of leaderboards whose answers were never kept); a board made anew
  // refuses the tickets of the one forgotten. REQUIRES mutex_.
  std::unordered_map<std::string, Board>::iterator MakeBoardLocked(
      const std::string& leaderboard_id);
  // Drops expired answers from the oldest on, then the oldest answers until
  // `needed` more bytes fit. REQUIRES mutex_.
  void MakeRoomLocked(std::size_t needed, std::int64_t now_us);

  const std::int64_t lifetime_us_;
  const std::size_t max_bytes_;
  // Most boards kept, answers or not: one per KiB of the bound, at least 16.
  const std::size_t max_boards_;

  mutable std::mutex mutex_;
  // Counts the boards made; a ticket is its value when it was given.
  std::uint64_t clock_ = 0;                        // GUARDED_BY(mutex_)
  std::unordered_map<std::string, Board> boards_;  // GUARDED_BY(mutex_)
  // (leaderboard id, answer key) of every answer, oldest stored first.
  std::list<std::pair<std::string, std::string>> age_;  // GUARDED_BY(mutex_)
  std::size_t bytes_ = 0;                               // GUARDED_BY(mutex_)
};

}  // namespace plemox

// The top answer cache's own rules: an answer lives for the lifetime from
// its read's start, a read that an invalidation overtook is never kept (also
// when the board was forgotten and made anew meanwhile), and the bytes held
// stay within the bound with the oldest answers evicted first.
#include "leaderboard/service/top_answer_cache.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace plemox {
namespace {

std::shared_ptr<const QueryResult> Answer(int records,
                                          const std::string& name = "") {
  auto result = std::make_shared<QueryResult>();
  result->error = false;
  result->total_player_count = records;
  for (int i = 0; i < records; ++i) {
    QueryResult::Record record;
    record.rank = i + 1;
    record.display_name = name;
    result->records.push_back(record);
  }
  return result;
}

TEST(TopAnswerCacheTest, ServesWithinTheLifetimeAndRefusesOvertakenReads) {
  TopAnswerCache cache(/*lifetime_us=*/1000, /*max_bytes=*/1 << 20);
  auto miss = cache.Find("lb", "top", 0);
  ASSERT_EQ(miss.answer, nullptr);
  const auto answer = Answer(3);
  cache.Store("lb", "top", miss.ticket, 0, answer);
  EXPECT_EQ(cache.Find("lb", "top", 999).answer, answer);
  // The lifetime counts from the read's start, not from the store.
  EXPECT_EQ(cache.Find("lb", "top", 1000).answer, nullptr);

  // A read started before an invalidation is not kept: its answer may
  // predate the write.
  miss = cache.Find("lb", "top", 2000);
  cache.Invalidate("lb");
  cache.Store("lb", "top", miss.ticket, 2000, answer);
  EXPECT_EQ(cache.Find("lb", "top", 2001).answer, nullptr);
  // Not even when a later read made the board anew in between.
  miss = cache.Find("lb", "top", 3000);
  cache.Invalidate("lb");
  const auto later = cache.Find("lb", "other", 3001);
  cache.Store("lb", "top", miss.ticket, 3000, answer);
  EXPECT_EQ(cache.Find("lb", "top", 3002).answer, nullptr);
  cache.Store("lb", "other", later.ticket, 3001, answer);
  EXPECT_EQ(cache.Find("lb", "other", 3002).answer, answer);
  // Other leaderboards keep their answers.
  const auto kept = cache.Find("kept", "top", 3000);
  cache.Store("kept", "top", kept.ticket, 3000, answer);
  cache.Invalidate("lb");
  EXPECT_EQ(cache.Find("kept", "top", 3500).answer, answer);
  EXPECT_EQ(cache.Find("lb", "other", 3500).answer, nullptr);
  cache.InvalidateAll();
  EXPECT_EQ(cache.Find("kept", "top", 3500).answer, nullptr);
  EXPECT_EQ(cache.bytes(), 0u);
}

TEST(TopAnswerCacheTest, StaysWithinItsBytesEvictingTheOldest) {
  const auto big = Answer(100, std::string(100, 'n'));
  TopAnswerCache probe(1000000, 1 << 20);
  const auto ticket = probe.Find("lb", "0", 0).ticket;
  probe.Store("lb", "0", ticket, 0, big);
  const std::size_t one = probe.bytes();
  ASSERT_GT(one, 100u * 100u);

  TopAnswerCache cache(1000000, 3 * one);
  for (int i = 0; i < 10; ++i) {
    const std::string key = std::to_string(i);
    const auto miss = cache.Find("lb", key, i);
    cache.Store("lb", key, miss.ticket, i, big);
    EXPECT_LE(cache.bytes(), 3 * one);
  }
  EXPECT_EQ(cache.bytes(), 3 * one);
  EXPECT_EQ(cache.Find("lb", "6", 10).answer, nullptr);
  EXPECT_EQ(cache.Find("lb", "9", 10).answer, big);
  // Reads of ever new leaderboards whose answers are never kept (Redis
  // failing) keep a bounded number of boards; a read from before they were
  // forgotten is not kept, since its board may have been invalidated since.
  TopAnswerCache boards(1000000, 16 * 1024);
  const auto early = boards.Find("early", "0", 0);
  for (int i = 0; i < 40; ++i) boards.Find("lb" + std::to_string(i), "0", 0);
  boards.Invalidate("early");
  boards.Find("early", "0", 1);
  boards.Store("early", "0", early.ticket, 0, big);
  EXPECT_EQ(boards.Find("early", "0", 2).answer, nullptr);
  // An answer larger than the whole bound is not kept.
  TopAnswerCache small(1000000, one / 2);
  const auto miss = small.Find("lb", "0", 0);
  small.Store("lb", "0", miss.ticket, 0, big);
  EXPECT_EQ(small.bytes(), 0u);
}

}  // namespace
}  // namespace plemox

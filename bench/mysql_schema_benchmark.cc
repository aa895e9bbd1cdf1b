// Costs of the statements a submission sends to the database: the single
// record write (stored-procedure CALL or plain INSERT), the bulk write of a
// full batch, and the escaping of the string values they carry.
#include <benchmark/benchmark.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <string>
#include <vector>

#include "common/leaderboard_flags.h"
#include "database/store/mysql_schema.h"
#include "vel/core/player_account.h"

namespace plemox {
namespace {

using Result = Leaderboard::ScoreSubmission::Response;

// Arg: 1 stored procedures, 0 plain statements.
void BM_MakeScoreSubmissionQuery(benchmark::State& state) {
  gflags::FlagSaver saver;
  FLAGS_leaderboard_use_db_stored_procedure = state.range(0) != 0;
  const vel::PlayerAccount account("guest", "player_1234567");
  const boost::posix_time::ptime none(boost::posix_time::not_a_date_time);
  for (auto _ : state) {
    std::string query =
        MakeScoreSubmissionQuery("stage_42", account, -123456.0, -1612345678,
                                 none, Result::kNewRecordDaily);
    benchmark::DoNotOptimize(query);
  }
}
BENCHMARK(BM_MakeScoreSubmissionQuery)->Arg(1)->Arg(0);

// A full batch of the bulk queue (32 rows). Arg: 1 stored procedures,
// 0 plain statements.
void BM_MakeBulkScoreSubmissionQuery(benchmark::State& state) {
  gflags::FlagSaver saver;
  FLAGS_leaderboard_use_db_stored_procedure = state.range(0) != 0;
  std::vector<BulkScoreRow> rows;
  for (int i = 0; i < 32; ++i) {
    rows.push_back(BulkScoreRow{"guest", "player_" + std::to_string(i),
                                -1000.0 * i, -1612345678 - i});
  }
  for (auto _ : state) {
    std::string query =
        MakeBulkScoreSubmissionQuery("stage_42_daily", "stage_42", rows);
    benchmark::DoNotOptimize(query);
  }
  state.SetItemsProcessed(state.iterations() * 32);
}
BENCHMARK(BM_MakeBulkScoreSubmissionQuery)->Arg(1)->Arg(0);

// Arg: 0 a clean account id (the usual case, returned unchanged), 1 one with
// characters that need escaping.
void BM_EscapeSqlString(benchmark::State& state) {
  const std::string value =
      state.range(0) == 0 ? "player_1234567_abcdefgh" : "o'brien\\\"x\n_1234";
  for (auto _ : state) {
    std::string escaped = EscapeSqlString(value);
    benchmark::DoNotOptimize(escaped);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(value.size()));
}
BENCHMARK(BM_EscapeSqlString)->Arg(0)->Arg(1);

}  // namespace
}  // namespace plemox

// AttackRunner: plays a hostile or careless peer against a running
// leaderboard server, one attack at a time, while a fresh client probes the
// server and the server's memory is sampled, so that an operator (or a test)
// can see that every attack is refused or bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "client/leaderboard_client.h"

namespace plemox {

// Runs the attacks named by AttackNames() against one server. While an
// attack runs and for a settle time after it, a probe thread opens a new
// connection every probe interval, authenticates and asks for the top 10 of the
// leaderboard (one probe: from connect to answer), and a sampler thread reads
// the server's resident set size from /proc (when its pid is known).
//
// Thread safety: one Run() at a time per instance; Run blocks the caller.
class AttackRunner {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    // The server's process id, for its memory; 0 when it is not local (the
    // memory figures are then 0).
    pid_t pid = 0;
    std::string app_id = "attack";
    // The app's key, for servers with game server keys (the probes and the
    // attacks that need an authenticated connection use it).
    std::string key;
    // TLS of the probes and of the attacks' own clients, for a server with
    // TLS on its game port (the raw attacks stay below TLS).
    LeaderboardClient::Tls tls;
    // A leaderboard of the server, ideally holding a few thousand players
    // (queries of the whole ranking are then expensive).
    std::string leaderboard_id;

    // trickle, idle and handshake: connections held open.
    int connections = 2000;
    // trickle: the body length each frame header announces.
    uint32_t announced_length = 1024 * 1024;
    // trickle and idle: how long the attack lasts. For trickle, choose more
    // than the server's frame read timeout to see it close the connections.
    std::chrono::seconds hold{40};
    // flood: connections, each pipelining this many top-100 queries without
    // reading an answer, then disconnecting.
    int flood_connections = 16;
    int flood_queries = 30000;
    // batch: requests of one batch each, holding as many whole-ranking
    // queries as fit in batch_bytes, sent one after the other.
    int batch_requests = 20;
    size_t batch_bytes = 1000 * 1000;
    // text: the length of the status query's schedule_date_time.
    size_t text_length = 5000;
    // guess: wrong keys tried, each on a new connection.
    int guesses = 30;

    std::chrono::milliseconds probe_interval{100};
    // A probe that takes longer than this counts as failed.
    std::chrono::milliseconds probe_timeout{5000};
    // After the attack: how long the probes go on before the last memory
    // sample.
    std::chrono::milliseconds settle{3000};
  };

  struct Report {
    std::string attack;
    // Resident set size of the server in MB: at the start, the highest
    // sample while the attack ran, and at the end of the settle time.
    double rss_before_mb = 0;
    double rss_peak_mb = 0;
    double rss_after_mb = 0;
    // Probes: made, failed (no connection, no answer, a failure answer or
    // slower than the probe timeout), and latency percentiles of the
    // successful ones in microseconds.
    int probes = 0;
    int probe_failures = 0;
    int64_t probe_p50_us = 0;
    int64_t probe_p99_us = 0;
    int64_t probe_max_us = 0;
    // Whether the server process still exists afterwards (true when the pid
    // is unknown and the server still accepts connections).
    bool server_alive = false;
    // Whether the server answered the attack as a sound server must (for
    // example: the oversized batches refused, the long text invalid).
    bool outcome_ok = false;
    // trickle and idle: connections opened, and those the server closed.
    int held_connections = 0;
    int closed_by_server = 0;
    // What the attack saw, for the operator.
    std::string detail;
  };

  explicit AttackRunner(Options options);

  // trickle, idle, flood, batch, text, badkeys, guess, handshake.
  static const std::vector<std::string>& AttackNames();

  // Runs one attack. An unknown name gives a report with outcome_ok false
  // and the reason in detail.
  Report Run(const std::string& attack);

  // One line per report, aligned, with a header line.
  static std::string FormatTable(const std::vector<Report>& reports);

 private:
  // Holds options_.connections open, each having sent `first_bytes` (none
  // when null) and a byte a second after them (none when null).
  bool Trickle(Report* report, const std::string* first_bytes);
  bool Flood(Report* report);
  bool Batch(Report* report);
  bool Text(Report* report);
  bool BadKeys(Report* report);
  bool Guess(Report* report);

  Options options_;
};

}  // namespace plemox

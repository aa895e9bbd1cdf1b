// leaderboard_attack: plays hostile and careless peers against a running
// leaderboard server (trickling frame headers, idle connections, pipelined
// floods, oversized batches, overlong texts) while a fresh client probes it,
// and prints the server's memory and the probe latencies per attack. All the
// work is done by plemox::AttackRunner.
//
// Exit codes: 0 every attack was refused or bounded and the server lived,
// 1 otherwise, 64 bad flags.
#include <gflags/gflags.h>
#include <glog/logging.h>

#include <boost/algorithm/string/split.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "client/attack/attack_runner.h"
#include "client/game_key.h"

DEFINE_string(host, "127.0.0.1", "Leaderboard server host");
DEFINE_int32(port, 12820, "Leaderboard server TCP port");
DEFINE_int32(pid, 0, "The server's process id, for its memory (0: unknown)");
DEFINE_string(app_id, "leaderboard_attack",
              "Identifier sent when authenticating");
DEFINE_string(key_file, "",
              "File holding the app's key, for servers with game server keys");
DEFINE_string(leaderboard, "", "A leaderboard of the server (required)");
DEFINE_string(attacks, "trickle,idle,flood,batch,text",
              "Comma-separated attacks to run, in order; handshake needs a "
              "server with TLS (--tls); badkeys and guess "
              "(run guess last: its address then waits) need a server with "
              "game server keys and --key_file");
DEFINE_int32(connections, 2000, "trickle, idle: connections held open");
DEFINE_int32(hold_seconds, 40, "trickle, idle: seconds the attack lasts");
DEFINE_uint32(announced_length, 1024 * 1024,
              "trickle: body length each frame header announces");
DEFINE_int32(flood_connections, 16, "flood: connections");
DEFINE_int32(flood_queries, 30000,
             "flood: top-100 queries pipelined per connection");
DEFINE_int32(batch_requests, 20, "batch: oversized batches sent");
DEFINE_bool(tls, false,
            "The server's game port speaks TLS: probes and clients use it");
DEFINE_string(tls_ca, "", "With --tls: PEM CA of the server's certificate");
DEFINE_string(tls_cert, "", "With --tls: PEM client certificate");
DEFINE_string(tls_key, "", "With --tls: PEM key of --tls_cert");
DEFINE_int32(guesses, 30, "guess: wrong keys tried, one connection each");
DEFINE_int32(probe_interval_ms, 100, "Milliseconds between probes");

int main(int argc, char** argv) {
  gflags::SetUsageMessage(
      "leaderboard_attack --port P --pid PID --leaderboard ID");
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  google::InitGoogleLogging(argv[0]);
  if (FLAGS_leaderboard.empty() || FLAGS_port <= 0 || FLAGS_port > 65535) {
    std::fprintf(stderr, "--leaderboard and a valid --port are required\n");
    return 64;
  }
  plemox::AttackRunner::Options options;
  options.host = FLAGS_host;
  options.port = static_cast<uint16_t>(FLAGS_port);
  options.pid = FLAGS_pid;
  options.app_id = FLAGS_app_id;
  std::string error;
  if (!FLAGS_key_file.empty() &&
      !plemox::GameKey::ReadFile(FLAGS_key_file, &options.key, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 64;
  }
  options.guesses = FLAGS_guesses;
  options.tls.enabled = FLAGS_tls;
  options.tls.ca_file = FLAGS_tls_ca;
  options.tls.cert_file = FLAGS_tls_cert;
  options.tls.key_file = FLAGS_tls_key;
  options.leaderboard_id = FLAGS_leaderboard;
  options.connections = FLAGS_connections;
  options.hold = std::chrono::seconds(FLAGS_hold_seconds);
  options.announced_length = FLAGS_announced_length;
  options.flood_connections = FLAGS_flood_connections;
  options.flood_queries = FLAGS_flood_queries;
  options.batch_requests = FLAGS_batch_requests;
  options.probe_interval = std::chrono::milliseconds(FLAGS_probe_interval_ms);

  std::vector<std::string> attacks;
  boost::split(attacks, FLAGS_attacks, [](char c) { return c == ','; });
  plemox::AttackRunner runner(options);
  std::vector<plemox::AttackRunner::Report> reports;
  bool all_ok = true;
  for (const std::string& attack : attacks) {
    std::fprintf(stderr, "leaderboard_attack: %s ...\n", attack.c_str());
    reports.push_back(runner.Run(attack));
    const auto& r = reports.back();
    all_ok = all_ok && r.outcome_ok && r.server_alive && r.probe_failures == 0;
  }
  std::fputs(plemox::AttackRunner::FormatTable(reports).c_str(), stdout);
  return all_ok ? 0 : 1;
}

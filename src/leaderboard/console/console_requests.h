// The console's way into the service: each request is a protocol request run
// by the same handler, with the same checks, cache and database steps and log
// lines, as a game server's, on an authenticated in-process session named
// after the console's client ("console@<address>"). So a deletion from the
// console has exactly the effect and the database writes of a deletion sent
// over TCP, and a page of a ranking is bounded by the same record cap.
// Every function may be called from any thread; the handler runs on an event
// thread.
#pragma once

#include <functional>
#include <string>

#include "leaderboard.pb.h"

namespace plemox {

class ConsoleRequests {
 public:
  // Called exactly once, on any thread: the handler's answer, or a
  // kFailUnknown failure when the event threads do not run.
  using Answer = std::function<void(const Leaderboard::Response& response)>;

  // `remote` is the console client's "address:port", for the session's name.
  static void Query(const std::string& remote,
                    const Leaderboard::LeaderboardQuery::Request& query,
                    Answer answer);
  static void DeleteScore(const std::string& remote,
                          const Leaderboard::ScoreDeletion::Request& deletion,
                          Answer answer);

  // The failure text of `response`, or "" when it is no failure.
  static std::string FailureText(const Leaderboard::Response& response);

  ConsoleRequests() = delete;
};

}  // namespace plemox

// The master election and the scheduled reset check it drives. Servers that
// share one Redis elect the one that performs the scheduled resets through
// the key "LEADERBOARD_MASTER": an endless chain of Redis calls and
// one-second timers (leaderboard_service_master.cc) that runs on the host's
// Redis completion and timer threads and schedules CheckResetTime once per
// turn (leaderboard_service_reset.cc).
#pragma once

namespace plemox {
namespace service_internal {

// Starts the chain by reading the master key. Start-up thread, at the end of
// start-up; afterwards the chain's own threads.
void GetMaster();

// Ends the chain: no step or reset check starts afterwards, and a running
// one has finished when it returns (it waits up to ten seconds). Shutdown
// thread, before the database connection is released.
void StopMasterElection();

// Moves every schedule on to now; as master, performs each reset that fell
// due once (through the reset log), and on becoming master also the last one
// that fell due while no server was master. Host timer threads.
void CheckResetTime(bool is_master);

}  // namespace service_internal
}  // namespace plemox

// DatabasePriority: the database client's worker threads run at a lower CPU
// priority (a higher nice value, --database_thread_nice) than the threads
// that handle requests, so that on a busy machine a query never waits for
// the CPU behind the database writes of earlier submissions. Linux gives a
// new thread the nice value of the thread that creates it, so the clients
// are created on a short-lived thread that has lowered its own priority.
#pragma once

#include <functional>

namespace plemox {

class DatabasePriority {
 public:
  DatabasePriority() = delete;

  // Runs `create` (which starts database worker threads) on a new thread at
  // --database_thread_nice above the caller's nice value, and returns once
  // it has returned. With a nice of 0, or when the priority cannot be
  // lowered (logged), the threads run at the caller's priority. Start-up
  // thread.
  static void CreateAtLowerPriority(const std::function<void()>& create);
};

}  // namespace plemox

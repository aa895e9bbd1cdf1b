// ThreadSizing: the host's thread groups sized from the cores the process
// may run on, for the thread flags left at 0 (their default); a flag given
// explicitly keeps its value. More threads than cores only add context
// switches and make requests wait behind one another.
#pragma once

namespace vel {

class ThreadSizing {
 public:
  ThreadSizing() = delete;

  // The cores this process may run on (its CPU affinity), at least 1.
  static int CoreCount();

  // Replaces --event_threads_size and --redis_async_threads_size of 0 with
  // the core count, and --internal_threads_size of 0 with half of it (at
  // least 1); logs the sizes used. False (logged) when
  // --internal_threads_size or --redis_async_threads_size is negative.
  // Host start-up, before any group starts.
  static bool Apply();
};

}  // namespace vel

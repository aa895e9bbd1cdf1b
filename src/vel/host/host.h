// The engine host's process: reads the manifest, loads the component, starts
// the host services, runs until asked to stop and shuts everything down.
// Called once, from main(), on the process's main thread.
#pragma once

namespace vel {

class Host {
 public:
  // Runs the host with the process's command line and returns the exit code:
  // 0 after a clean shutdown, 1 when the manifest, the component or a host
  // service could not be set up (logged). --help and the other help flags
  // print the host's flags, and the component's when --manifest names it,
  // and end the process with 1, as gflags does.
  static int Run(int argc, char** argv);

  Host() = delete;
};

}  // namespace vel

// Runs the real host executable as a child process for end-to-end tests:
// writes a manifest, starts the host with flags, captures its log output,
// and stops it with a signal. Test-only; use from one test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plemox_test {

class HostProcess {
 public:
  struct Options {
    // Written into the manifest's "arguments" object (JSON text of members,
    // e.g. R"("leaderboard_ids": ["a"])").
    std::string arguments_json;
    // The component library and entry name.
    std::string library = "libplemox-leaderboard.so";
    std::string name = "PlemoxLeaderboardServer";
    // Extra command-line flags ("--name=value").
    std::vector<std::string> flags;
    // The host always gets the test Redis and a free API port. With this
    // set, the leaderboard component also gets the test MariaDB and a free
    // TCP port (flags only the leaderboard component defines).
    bool leaderboard_flags = true;
    // When set, the process reads this text from a pipe as its standard
    // input, which is closed after it (console dialogues); otherwise it
    // inherits the test's standard input.
    std::optional<std::string> standard_input;

    // Options with these manifest arguments and the defaults otherwise.
    static Options WithArguments(std::string arguments) {
      Options options;
      options.arguments_json = std::move(arguments);
      return options;
    }
  };

  explicit HostProcess(Options options);
  ~HostProcess();  // Kills the process if it still runs.
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Adds a command-line flag ("--name=value"); later flags win.
  // REQUIRES: before Start().
  void AddFlag(const std::string& flag) { options_.flags.push_back(flag); }

  // Starts the process. Returns false when it could not be spawned.
  bool Start();

  // Waits until the log contains `text`; false on timeout or exit.
  bool WaitForLog(const std::string& text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits until the TCP port accepts connections.
  bool WaitForPort(
      int port, std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Sends `signal` and waits for the exit; returns the exit status as
  // waitpid reports it (use WIFEXITED etc.), or -1 on timeout (then killed).
  int Stop(int signal,
           std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits for the process to end by itself; same result as Stop.
  int WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Everything the process has logged so far (stdout and stderr).
  std::string Log() const;

  int tcp_port() const { return tcp_port_; }
  int api_port() const { return api_port_; }
  pid_t pid() const { return pid_; }

 private:
  Options options_;
  std::string dir_;
  std::string log_path_;
  int tcp_port_ = 0;
  int api_port_ = 0;
  pid_t pid_ = -1;
};

// Exit code of a waitpid status, or 128 + signal for a killed process.
int ExitCode(int status);

}  // namespace plemox_test

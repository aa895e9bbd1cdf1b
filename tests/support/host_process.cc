#include "support/host_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem.hpp>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "support/test_env.h"

namespace plemox_test {

HostProcess::HostProcess(Options options) : options_(std::move(options)) {
  dir_ = (boost::filesystem::temp_directory_path() /
          boost::filesystem::unique_path("plemox-host-%%%%-%%%%"))
             .string();
  boost::filesystem::create_directories(dir_);
  log_path_ = dir_ + "/host.log";
  tcp_port_ = FreePort();
  api_port_ = FreePort();
}

HostProcess::~HostProcess() {
  if (pid_ > 0) Stop(SIGKILL, std::chrono::seconds(5));
  boost::system::error_code ignored;
  boost::filesystem::remove_all(dir_, ignored);
}

bool HostProcess::Start() {
  const std::string manifest_path = dir_ + "/manifest.json";
  {
    std::ofstream manifest(manifest_path);
    manifest << "{\"name\": \"" << options_.name << "\", \"library\": \""
             << LibraryDir() << "/" << options_.library
             << "\", \"arguments\": {" << options_.arguments_json << "}}";
  }
  std::vector<std::string> args = {
      BinaryDir() + "/plemox_host", "--manifest=" + manifest_path,
      "--logtostderr", "--res_root=" + SourceDir()};
  args.push_back("--redis_host=" + RedisHost());
  args.push_back("--redis_port=" + std::to_string(RedisPort()));
  args.push_back("--api_port=" + std::to_string(api_port_));
  if (options_.leaderboard_flags) {
    args.push_back("--mysql_server_url=" + MysqlUrl());
    args.push_back("--mysql_id=" + MysqlUser());
    args.push_back("--mysql_pw=" + MysqlPassword());
    args.push_back("--mysql_db_name=" + MysqlDatabase());
    args.push_back("--server_tcp_port=" + std::to_string(tcp_port_));
    args.push_back("--mysql_db_connection_count=2");
  }
  args.insert(args.end(), options_.flags.begin(), options_.flags.end());

  // Dialogue answers are short: written before the child starts, they wait
  // in the pipe's buffer, and the child sees the end of its input after them.
  int input[2] = {-1, -1};
  if (options_.standard_input) {
    if (pipe(input) != 0) return false;
    const std::string& text = *options_.standard_input;
    std::size_t written = 0;
    while (written < text.size()) {
      const ssize_t n =
          write(input[1], text.data() + written, text.size() - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    close(input[1]);
    input[1] = -1;
  }
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    if (input[0] >= 0) {
      dup2(input[0], STDIN_FILENO);
      close(input[0]);
    }
    FILE* log = std::fopen(log_path_.c_str(), "w");
    if (log != nullptr) {
      dup2(fileno(log), STDOUT_FILENO);
      dup2(fileno(log), STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (input[0] >= 0) close(input[0]);
  return true;
}

std::string HostProcess::Log() const {
  std::ifstream file(log_path_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool HostProcess::WaitForLog(const std::string& text,
                             std::chrono::milliseconds timeout) {
  return WaitFor(
      [&] {
        if (Log().find(text) != std::string::npos) return true;
        return false;
      },
      timeout);
}

bool HostProcess::WaitForPort(int port, std::chrono::milliseconds timeout) {
  return WaitFor(
      [&] {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) != 0) return false;
        return AcceptsConnections(port);
      },
      timeout);
}

int HostProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  int status = 0;
  const bool exited =
      WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
  if (!exited) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }
  pid_ = -1;
  return status;
}

int HostProcess::Stop(int signal, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  const int status = WaitForExit(timeout);
  if (signal != SIGKILL && ExitCode(status) != 0) {
    // A host that does not stop cleanly says why in its log; keep it in the
    // test's output, since the log file goes away with this object.
    std::cerr << "The host did not stop cleanly (exit code " << ExitCode(status)
              << "); its log:\n"
              << Log() << std::endl;
  }
  return status;
}

int ExitCode(int status) {
  if (status < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace plemox_test

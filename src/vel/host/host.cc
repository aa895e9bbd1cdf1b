#include "vel/host/host.h"

#include <dlfcn.h>
#include <gflags/gflags.h>
#include <glog/logging.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "vel/core/argument_map.h"
#include "vel/core/engine.h"
#include "vel/core/event.h"
#include "vel/core/host_flags.h"
#include "vel/core/io_service.h"
#include "vel/core/manifest.h"
#include "vel/core/raw_timer.h"
#include "vel/core/reload_hooks.h"
#include "vel/host/host_operations.h"
#include "vel/host/thread_sizing.h"
#include "vel/http/api_access.h"
#include "vel/http/api_service.h"
#include "vel/redis/redis.h"
#include "vel/redis/redis_persistence_check.h"

namespace vel {
namespace {

using InstallFunction = bool (*)(const ArgumentMap&);
using UninstallFunction = bool (*)();

// The manifest path is needed before the flags can be parsed: the component
// library, which registers most flags, is only known from the manifest.
std::string FindManifestArgument(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    for (const std::string prefix : {"--manifest=", "-manifest="}) {
      if (arg.compare(0, prefix.size(), prefix) == 0) {
        return arg.substr(prefix.size());
      }
    }
    if ((arg == "--manifest" || arg == "-manifest") && i + 1 < argc) {
      return argv[i + 1];
    }
  }
  return "";
}

// Whether the command line asks gflags for help (or the version) instead of
// a run.
bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") break;
    const std::size_t dashes = arg.find_first_not_of('-');
    if (dashes == 0 || dashes == std::string::npos || dashes > 2) continue;
    const std::string name = arg.substr(dashes, arg.find('=') - dashes);
    for (const char* help : {"help", "helpfull", "helpshort", "helpxml",
                             "helppackage", "helpon", "helpmatch", "version"}) {
      if (name == help) return true;
    }
  }
  return false;
}

// Turns SIGINT and SIGTERM into a shutdown request. A second signal while the
// shutdown is under way ends the process at once. SIGHUP runs the reload
// hooks (files read again) instead of ending the process.
class SignalWatcher {
 public:
  SignalWatcher()
      : signals_(context_, SIGINT, SIGTERM), reload_(context_, SIGHUP) {
    Wait();
    WaitForReload();
    thread_ = std::thread([this] { context_.run(); });
  }
  ~SignalWatcher() {
    context_.stop();
    thread_.join();
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  void Wait() {
    signals_.async_wait(
        [this](const boost::system::error_code& error, int signal_number) {
          if (error) return;
          if (count_++ > 0) {
            LOG(WARNING) << "Signal " << signal_number
                         << " during shutdown; exiting immediately";
            const std::string report = ImmediateExitReport();
            if (!report.empty()) LOG(WARNING) << report;
            google::FlushLogFiles(google::GLOG_INFO);
            std::_Exit(128 + signal_number);
          }
          LOG(INFO) << "Signal " << signal_number << " received; shutting down";
          SetToShutDownEngine();
          Wait();
        });
  }

  void WaitForReload() {
    reload_.async_wait(
        [this](const boost::system::error_code& error, int signal_number) {
          if (error) return;
          LOG(INFO) << "Signal " << signal_number
                    << " received; reading files again";
          const int hooks = ReloadHooks::RunAll();
          LOG(INFO) << "Reload done: hooks=" << hooks;
          WaitForReload();
        });
  }

  boost::asio::io_context context_;
  boost::asio::signal_set signals_;
  boost::asio::signal_set reload_;
  std::atomic<int> count_{0};
  std::thread thread_;
};

// The API token from --api_token or --api_token_file (never logged), and a
// warning when the API is reachable from elsewhere without one.
bool ConfigureApiAccess() {
  std::string token;
  std::string error;
  if (!ApiAccess::LoadToken(FLAGS_api_token, FLAGS_api_token_file, &token,
                            &error)) {
    LOG(ERROR) << "HTTP API token refused: " << error;
    return false;
  }
  ApiAccess::SetToken(token);
  const bool loopback = FLAGS_api_bind_address == "127.0.0.1" ||
                        FLAGS_api_bind_address == "::1" ||
                        FLAGS_api_bind_address == "localhost";
  if (token.empty() && !loopback) {
    LOG(WARNING) << "The HTTP API listens on " << FLAGS_api_bind_address
                 << " without --api_token: whoever reaches it can read and "
                    "change leaderboards";
  }
  LOG(INFO) << "HTTP API token: "
            << (token.empty() ? "none (every route is open)"
                              : "required except on /healthz, /readyz and "
                                "the console's page");
  return true;
}

bool StartServices() {
  if (!ThreadSizing::Apply()) return false;
  HostOperations::Install();
  if (!IoService::CreateIoGroup("default", FLAGS_internal_threads_size)) {
    LOG(ERROR) << "Failed to create the I/O group 'default'";
    return false;
  }
  if (!Event::Start(FLAGS_event_threads_size)) {
    LOG(ERROR) << "Failed to start the event threads";
    return false;
  }
  if (!RawTimer::Start(FLAGS_internal_threads_size)) {
    LOG(ERROR) << "Failed to start the timer threads";
    return false;
  }
  if (FLAGS_enable_redis && !Redis::Initialize()) {
    LOG(ERROR) << "Failed to initialize the Redis client";
    return false;
  }
  if (FLAGS_enable_redis) RedisPersistenceCheck::Run();
  if (FLAGS_api_port > 0) {
    if (!ConfigureApiAccess()) return false;
    if (FLAGS_api_port > 65535 ||
        !ApiService::Start(FLAGS_api_bind_address,
                           static_cast<std::uint16_t>(FLAGS_api_port),
                           FLAGS_internal_threads_size)) {
      LOG(ERROR) << "Failed to start the HTTP API on " << FLAGS_api_bind_address
                 << ":" << FLAGS_api_port;
      return false;
    }
    LOG(INFO) << "HTTP API listening on " << FLAGS_api_bind_address << ":"
              << ApiService::port();
  }
  return true;
}

void StopServices() {
  ApiService::Stop();
  HostOperations::Uninstall();
  RawTimer::Stop();
  Event::Stop();
  Redis::Finalize();
  IoService::StopAll();
}

template <typename Function>
Function FindEntry(void* library, const std::string& symbol) {
  dlerror();
  void* entry = dlsym(library, symbol.c_str());
  if (entry == nullptr) {
    const char* reason = dlerror();
    LOG(ERROR) << "The component does not export " << symbol << ": "
               << (reason ? reason : "null symbol");
    return nullptr;
  }
  return reinterpret_cast<Function>(entry);
}

}  // namespace

int Host::Run(int argc, char** argv) {
  const std::string program = argv[0];
  gflags::SetUsageMessage(
      "Engine host: loads the component named by --manifest and runs it.\n"
      "usage: " +
      program +
      " --manifest=FILE [flags]\n"
      "The component's flags exist only once its library is loaded: " +
      program + " --manifest=FILE --help lists them with the host's.");

  const std::string manifest_path = FindManifestArgument(argc, argv);
  if (manifest_path.empty()) {
    // Without a manifest there is no component, but the host's own flags
    // can still be shown: gflags prints them and ends the process.
    if (AsksForHelp(argc, argv))
      gflags::ParseCommandLineFlags(&argc, &argv, true);
    std::cerr << "usage: " << program << " --manifest=FILE [flags]\n"
              << "(" << program << " --help lists the host's flags, " << program
              << " --manifest=FILE --help the component's too)\n";
    return 1;
  }
  Manifest manifest;
  std::string error;
  if (!Manifest::Load(manifest_path, &manifest, &error)) {
    std::cerr << "Invalid manifest: " << error << "\n";
    return 1;
  }

  // Loading the component registers its flags, so it comes before parsing.
  // The library stays loaded until the process ends: handlers and timers
  // may still point into it during shutdown.
  void* library = dlopen(manifest.library().c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (library == nullptr) {
    std::cerr << "Failed to load the component " << manifest.library() << ": "
              << dlerror() << "\n";
    return 1;
  }
  for (const auto& [name, value] : manifest.flags()) {
    if (gflags::SetCommandLineOptionWithMode(name.c_str(), value.c_str(),
                                             gflags::SET_FLAGS_DEFAULT)
            .empty()) {
      std::cerr << "Invalid manifest flag: " << name << "=" << value << "\n";
      return 1;
    }
  }
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  google::InitGoogleLogging(argv[0]);
  google::InstallFailureSignalHandler();

  const auto install =
      FindEntry<InstallFunction>(library, manifest.name() + "_install");
  const auto uninstall =
      FindEntry<UninstallFunction>(library, manifest.name() + "_uninstall");
  if (install == nullptr || uninstall == nullptr) return 1;

  SignalWatcher signal_watcher;
  if (!StartServices()) {
    StopServices();
    return 1;
  }

  LOG(INFO) << "Installing the component " << manifest.name() << " from "
            << manifest.library();
  const ArgumentMap arguments(manifest.arguments());
  ApiService::SetComponentStarting(true);
  const bool installed = install(arguments);
  ApiService::SetComponentStarting(false);
  if (!installed) {
    LOG(ERROR) << "The component " << manifest.name() << " failed to install";
    StopServices();
    return 1;
  }
  HostOperations::SetComponentInstalled(true);
  LOG(INFO) << "The host is running";

  WaitForShutdown();
  LOG(INFO) << "Shutting down";
  HostOperations::SetComponentInstalled(false);
  // Stop taking HTTP requests first, then let the component close its
  // connections while the host services it uses are still running.
  ApiService::Stop();
  uninstall();
  StopServices();
  LOG(INFO) << "Shutdown complete";
  google::FlushLogFiles(google::GLOG_INFO);
  return 0;
}

}  // namespace vel

// What every harness shares: logging set up once and kept quiet, so that the
// millions of refused inputs do not drown the fuzzer's own output.
// PLEMOX_FUZZ_LOG=1 in the environment shows the server's log lines again
// (for reproducing one input).
#pragma once

#include <glog/logging.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace plemox {
namespace fuzz {

// Call from LLVMFuzzerInitialize, before anything logs.
inline void QuietLogging() {
  static bool done = false;
  if (done) return;
  done = true;
  google::InitGoogleLogging("plemox_fuzzer");
  FLAGS_logtostderr = true;
  const char* verbose = std::getenv("PLEMOX_FUZZ_LOG");
  FLAGS_minloglevel = verbose != nullptr && verbose[0] == '1'
                          ? google::GLOG_INFO
                          : google::GLOG_FATAL;
}

// Reports a broken invariant and aborts, which libFuzzer records as a crash
// with the input that caused it.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
  std::abort();
}

}  // namespace fuzz
}  // namespace plemox

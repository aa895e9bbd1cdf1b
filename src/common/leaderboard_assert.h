// Fatal contract checks of the component. A failed check logs
// "Assert failed: <expression>: <explanation>" at fatal severity, which ends
// the process. Use for broken program contracts and start-up configuration
// errors only; input from the network is never checked with it.
#pragma once

#include <glog/logging.h>

// Usage: LEADERBOARD_ASSERT(the_tcp_server) << "Failed to initialize ...";
// The expression text is printed as written, so write it the way the log
// line should read.
#define LEADERBOARD_ASSERT(condition) \
  LOG_IF(FATAL, !(condition)) << "Assert failed: " #condition << ": "

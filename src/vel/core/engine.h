// Process-level services of the engine host: the resource root and the
// request to shut the engine down. Callable from any thread.
#pragma once

#include <functional>
#include <string>

namespace vel {

// The resource root directory (flag --res_root), without a trailing '/'.
std::string GetResRoot();

// Asks the host to stop: the host's main loop wakes up, uninstalls the
// component and exits. Returns at once.
void SetToShutDownEngine();

// Blocks until SetToShutDownEngine() is called or SIGINT/SIGTERM arrives.
// Used by the host's main loop.
void WaitForShutdown();

// True once a shutdown was requested.
bool IsShutdownRequested();

// What a component wants said when the process exits at once (a second
// SIGTERM during the shutdown), e.g. how many writes that leaves unwritten.
// Set it (or clear it with an empty function) from any thread; the report
// runs on the signal-watching thread and must not block.
void SetImmediateExitReport(std::function<std::string()> report);
// The report's text, or "" when none is set.
std::string ImmediateExitReport();

}  // namespace vel

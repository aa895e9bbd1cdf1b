// What the process does when the operator asks it to read its files again
// (SIGHUP): components register a hook, the host runs them all. Every
// function is thread-safe; hooks run on the host's signal thread, one at a
// time, never with the registry's lock held.
#pragma once

#include <functional>
#include <string>

namespace vel {

class ReloadHooks {
 public:
  using Hook = std::function<void()>;

  // Adds (or replaces) the hook named `name`.
  static void Register(const std::string& name, Hook hook);
  // Removes the hook named `name`, if any.
  static void Unregister(const std::string& name);
  // Runs every hook, in the order of their names. Returns how many ran.
  static int RunAll();

  ReloadHooks() = delete;
};

}  // namespace vel

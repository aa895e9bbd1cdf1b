#include "vel/core/reload_hooks.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace vel {
namespace {

std::mutex the_hooks_mutex;
std::map<std::string, ReloadHooks::Hook> the_hooks;  // GUARDED_BY(mutex)

}  // namespace

void ReloadHooks::Register(const std::string& name, Hook hook) {
  std::lock_guard<std::mutex> lock(the_hooks_mutex);
  the_hooks[name] = std::move(hook);
}

void ReloadHooks::Unregister(const std::string& name) {
  std::lock_guard<std::mutex> lock(the_hooks_mutex);
  the_hooks.erase(name);
}

int ReloadHooks::RunAll() {
  std::vector<Hook> hooks;
  {
    std::lock_guard<std::mutex> lock(the_hooks_mutex);
    for (const auto& entry : the_hooks) hooks.push_back(entry.second);
  }
  for (const Hook& hook : hooks) hook();
  return static_cast<int>(hooks.size());
}

}  // namespace vel

#include "vel/core/io_service.h"

#include <glog/logging.h>
#include <pthread.h>

#include <boost/asio/executor_work_guard.hpp>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace vel {
namespace {

// An io_context whose pending handlers StopAll can destroy while other
// owners still hold the context. Handlers often own objects (connections,
// timers) that own a reference to the context in turn; without this the
// context and everything its queued handlers hold would never be freed.
class GroupContext : public IoService::Context {
 public:
  using boost::asio::execution_context::shutdown;
  using IoService::Context::Context;
};

struct IoGroup {
  std::shared_ptr<GroupContext> context;
  std::unique_ptr<
      boost::asio::executor_work_guard<IoService::Context::executor_type>>
      guard;
  std::vector<std::thread> threads;
};

std::mutex the_groups_mutex;
std::map<std::string, std::unique_ptr<IoGroup>>
    the_groups;  // GUARDED_BY(the_groups_mutex)

std::unique_ptr<IoGroup> StartGroup(const std::string& name,
                                    std::size_t thread_count) {
  auto group = std::make_unique<IoGroup>();
  group->context =
      std::make_shared<GroupContext>(static_cast<int>(thread_count));
  group->guard = std::make_unique<
      boost::asio::executor_work_guard<IoService::Context::executor_type>>(
      group->context->get_executor());
  for (std::size_t i = 0; i < thread_count; ++i) {
    group->threads.emplace_back([context = group->context, name] {
      // Named after the group (cut to the 15 characters Linux keeps), so
      // that top -H, perf and gdb tell the groups apart.
      pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
      // A handler that throws would otherwise end the process without a
      // word; log it and keep the thread serving.
      for (;;) {
        try {
          context->run();
          return;
        } catch (const std::exception& e) {
          LOG(ERROR) << "Unhandled exception in I/O group " << name << ": "
                     << e.what();
        }
      }
    });
  }
  return group;
}

}  // namespace

bool IoService::CreateIoGroup(const std::string& name,
                              std::size_t thread_count) {
  if (thread_count == 0) return false;
  std::lock_guard<std::mutex> lock(the_groups_mutex);
  if (the_groups.count(name) != 0) return false;
  the_groups.emplace(name, StartGroup(name, thread_count));
  return true;
}

std::shared_ptr<IoService::Context> IoService::GetIoGroup(
    const std::string& name) {
  std::lock_guard<std::mutex> lock(the_groups_mutex);
  auto it = the_groups.find(name);
  return it == the_groups.end() ? nullptr : it->second->context;
}

std::shared_ptr<IoService::Context> IoService::GetOrCreateIoGroup(
    const std::string& name, std::size_t thread_count) {
  std::lock_guard<std::mutex> lock(the_groups_mutex);
  auto it = the_groups.find(name);
  if (it == the_groups.end()) {
    it = the_groups
             .emplace(name, StartGroup(name, thread_count ? thread_count : 1))
             .first;
  }
  return it->second->context;
}

void IoService::StopAll() {
  std::map<std::string, std::unique_ptr<IoGroup>> groups;
  {
    std::lock_guard<std::mutex> lock(the_groups_mutex);
    groups.swap(the_groups);
  }
  for (auto& [name, group] : groups) {
    group->guard.reset();
    group->context->stop();
  }
  for (auto& [name, group] : groups) {
    for (auto& thread : group->threads) thread.join();
  }
  // No thread runs them any more: destroy the handlers still queued (without
  // calling them), so that what they own is released now.
  for (auto& [name, group] : groups) group->context->shutdown();
}

}  // namespace vel

#include "vel/core/event.h"

#include <glog/logging.h>

#include <boost/asio/post.hpp>
#include <map>
#include <mutex>
#include <vector>

#include "vel/core/io_service.h"

namespace vel {
namespace {

constexpr char kEventGroup[] = "event";

std::mutex the_event_mutex;
// GUARDED_BY(the_event_mutex)
std::map<std::type_index,
         std::shared_ptr<
             std::vector<std::function<int(const std::shared_ptr<void>&)>>>>
    the_handlers;
std::shared_ptr<IoService::Context> the_event_context;  // GUARDED_BY(mutex)

std::shared_ptr<IoService::Context> EventContext() {
  std::lock_guard<std::mutex> lock(the_event_mutex);
  return the_event_context;
}

}  // namespace

bool Event::Start(int thread_count) {
  std::lock_guard<std::mutex> lock(the_event_mutex);
  if (the_event_context) return false;
  if (!IoService::CreateIoGroup(kEventGroup,
                                thread_count > 0 ? thread_count : 1)) {
    return false;
  }
  the_event_context = IoService::GetIoGroup(kEventGroup);
  return the_event_context != nullptr;
}

void Event::Stop() {
  std::lock_guard<std::mutex> lock(the_event_mutex);
  the_event_context.reset();
  the_handlers.clear();
}

void Event::RegisterRawHandler(std::type_index type, RawHandler handler) {
  std::lock_guard<std::mutex> lock(the_event_mutex);
  // Copy on write: posted events keep the list they were dispatched with.
  auto& slot = the_handlers[type];
  auto list = slot ? std::make_shared<std::vector<RawHandler>>(*slot)
                   : std::make_shared<std::vector<RawHandler>>();
  list->push_back(std::move(handler));
  slot = std::move(list);
}

bool Event::PostRaw(std::type_index type, std::shared_ptr<void> event) {
  std::shared_ptr<const std::vector<RawHandler>> handlers;
  std::shared_ptr<IoService::Context> context;
  {
    std::lock_guard<std::mutex> lock(the_event_mutex);
    context = the_event_context;
    auto it = the_handlers.find(type);
    if (it != the_handlers.end()) handlers = it->second;
  }
  if (!context) return false;
  if (!handlers) {
    VLOG(1) << "No handler for the posted event: type=" << type.name();
    return true;
  }
  boost::asio::post(*context, [handlers, event = std::move(event)] {
    for (const auto& handler : *handlers) {
      if (handler(event) != 0) break;
    }
  });
  return true;
}

bool Event::Invoke(std::function<void()> fn) {
  auto context = EventContext();
  if (!context) return false;
  boost::asio::post(*context, std::move(fn));
  return true;
}

}  // namespace vel

// Typed events and work items run on the host's event threads (the I/O group
// "event", event_threads_size threads). Handlers are registered per event type
// and run in registration order; every function here is thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <typeindex>

namespace vel {

class Event {
 public:
  // A handler returns the chain action: 0 lets later handlers of the same
  // event run too, any other value stops the chain.
  template <typename E>
  using Handler = std::function<int(const std::shared_ptr<E>&)>;

  // Adds `handler` for events of type E.
  template <typename E>
  static void RegisterHandler(Handler<E> handler) {
    RegisterRawHandler(typeid(E), [handler = std::move(handler)](
                                      const std::shared_ptr<void>& event) {
      return handler(std::static_pointer_cast<E>(event));
    });
  }

  // Queues `event` for the handlers of type E. Returns false when the event
  // threads are not running (the event is dropped).
  template <typename E>
  static bool Post(std::shared_ptr<E> event) {
    return PostRaw(typeid(E), std::move(event));
  }

  // Runs `fn` on an event thread. Returns false when the event threads are
  // not running.
  static bool Invoke(std::function<void()> fn);

  // Starts the event threads (host start-up). Returns false if running.
  static bool Start(int thread_count);

  // Stops the event threads and forgets all handlers (host shutdown).
  static void Stop();

  Event() = delete;

 private:
  using RawHandler = std::function<int(const std::shared_ptr<void>&)>;
  static void RegisterRawHandler(std::type_index type, RawHandler handler);
  static bool PostRaw(std::type_index type, std::shared_ptr<void> event);
};

}  // namespace vel

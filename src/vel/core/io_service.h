// Named groups of I/O threads, each running one boost::asio::io_context.
// Groups live until StopAll(); all functions are thread-safe.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <memory>
#include <string>

namespace vel {

class IoService {
 public:
  using Context = boost::asio::io_context;

  // Creates the group `name` with `thread_count` threads that run its context
  // until StopAll(). Returns false when the name is taken or the count is 0.
  static bool CreateIoGroup(const std::string& name, std::size_t thread_count);

  // The context of group `name`, or null when no such group exists.
  static std::shared_ptr<Context> GetIoGroup(const std::string& name);

  // The context of group `name`, creating the group with `thread_count`
  // threads when it does not exist yet.
  static std::shared_ptr<Context> GetOrCreateIoGroup(const std::string& name,
                                                     std::size_t thread_count);

  // Stops every group, joins its threads and destroys the handlers still
  // queued without calling them (so the objects they own are freed even when
  // those hold the context). A context kept by someone stays valid for
  // destroying I/O objects; work given to it later never runs. Must not be
  // called from a thread of any group. Groups can be created again
  // afterwards.
  static void StopAll();

  IoService() = delete;
};

}  // namespace vel

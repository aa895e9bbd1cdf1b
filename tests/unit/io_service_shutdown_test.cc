// Stopping the I/O groups frees what their queued handlers own. Its own
// binary, because StopAll ends every group of the process.
#include <gtest/gtest.h>

#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>

#include "vel/core/io_service.h"

namespace vel {
namespace {

// A connection-like object: it holds the context its timer runs on, and its
// pending wait holds it.
struct Holder {
  explicit Holder(std::shared_ptr<IoService::Context> context)
      : context(std::move(context)), timer(*this->context) {}
  std::shared_ptr<IoService::Context> context;
  boost::asio::steady_timer timer;
};

TEST(IoServiceShutdownTest, StopAllFreesWhatQueuedHandlersOwn) {
  ASSERT_TRUE(IoService::CreateIoGroup("io_service_shutdown_test", 1));
  std::weak_ptr<Holder> observer;
  std::weak_ptr<IoService::Context> context_observer;
  {
    auto context = IoService::GetIoGroup("io_service_shutdown_test");
    ASSERT_NE(context, nullptr);
    context_observer = context;
    auto holder = std::make_shared<Holder>(context);
    holder->timer.expires_after(std::chrono::hours(1));
    holder->timer.async_wait([holder](const boost::system::error_code&) {});
    observer = holder;
  }
  IoService::StopAll();
  EXPECT_TRUE(observer.expired());
  EXPECT_TRUE(context_observer.expired());

  // The name can be used again.
  EXPECT_TRUE(IoService::CreateIoGroup("io_service_shutdown_test", 1));
  IoService::StopAll();
}

}  // namespace
}  // namespace vel

#include "leaderboard/service/database_priority.h"

#include <glog/logging.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "common/leaderboard_flags.h"

namespace plemox {

void DatabasePriority::CreateAtLowerPriority(
    const std::function<void()>& create) {
  const int step = std::clamp<int>(FLAGS_database_thread_nice, 0, 19);
  if (step == 0) {
    create();
    return;
  }
  std::thread creator([&create, step] {
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, tid);
    const int lowered = std::min(19, nice + step);
    if (errno != 0 || setpriority(PRIO_PROCESS, tid, lowered) != 0) {
      LOG(WARNING) << "The database threads run at the request threads' "
                      "priority: cannot set nice "
                   << lowered << ": " << std::strerror(errno);
    } else {
      LOG(INFO) << "Database threads run at nice " << lowered
                << " (request threads: " << nice << ")";
    }
    create();
  });
  creator.join();
}

}  // namespace plemox

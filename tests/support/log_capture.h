// Collects the log lines written while it lives, for tests whose contract is
// a log text. Thread-safe: lines may come from any thread.
#pragma once

#include <glog/logging.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace plemox_test {

class LogCapture : public google::LogSink {
 public:
  LogCapture() { google::AddLogSink(this); }
  ~LogCapture() override { google::RemoveLogSink(this); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  using google::LogSink::send;
  void send(google::LogSeverity severity, const char*, const char*, int,
            const google::LogMessageTime&, const char* message,
            size_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({severity, std::string(message, length)});
  }

  // The lines of `severity` that contain `text`.
  int Count(google::LogSeverity severity, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (const auto& line : lines_) {
      if (line.first == severity &&
          line.second.find(text) != std::string::npos) {
        ++count;
      }
    }
    return count;
  }

  // The lines that contain `text`, whatever their severity, in log order.
  std::vector<std::pair<google::LogSeverity, std::string>> Lines(
      const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<google::LogSeverity, std::string>> found;
    for (const auto& line : lines_) {
      if (line.second.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
  }

  // Whether one line of `severity` is exactly `text`.
  bool HasLine(google::LogSeverity severity, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : lines_) {
      if (line.first == severity && line.second == text) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<google::LogSeverity, std::string>> lines_;
};

}  // namespace plemox_test

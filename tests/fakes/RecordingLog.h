#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log/Logger.h"

namespace zivuv::testing {

// Records log entries as "<level> <text>" for the life of the object, then
// puts a standard-error sink back.
class RecordingLog final : public platform::LogSink {
 public:
  static std::shared_ptr<RecordingLog> install() {
    auto log = std::make_shared<RecordingLog>();
    platform::Logger::shared().setSink(log);
    return log;
  }
  static void uninstall() { platform::Logger::shared().setSink(platform::makeStderrSink()); }

  void write(platform::LogLevel level, std::string_view message) override {
    const char* name = level == platform::LogLevel::Error  ? "error"
                       : level == platform::LogLevel::Info ? "info"
                                                           : "debug";
    std::lock_guard lock(mutex_);
    lines_.push_back(std::string(name) + " " + std::string(message));
  }

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t count(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), line));
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace zivuv::testing

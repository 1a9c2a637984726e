#include "platform/log/Logger.h"

#include <limits.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/fd/UniqueFd.h"
#include "platform/text/Text.h"

namespace zivuv::platform {
namespace {

constexpr const char* kIdentifier = "zivuv-folder-monitor";
constexpr const char* kSubsystem = "com.vezudi.Zivuv.ZivuvFolderMonitorListener";
constexpr const char* kCategory = "Folder Monitoring";

int priorityOf(LogLevel level) {
  switch (level) {
    case LogLevel::Error: return 3;
    case LogLevel::Info: return 6;
    case LogLevel::Debug: return 7;
  }
  return 6;
}

const char* nameOf(LogLevel level) {
  switch (level) {
    case LogLevel::Error: return "error";
    case LogLevel::Info: return "info";
    case LogLevel::Debug: return "debug";
  }
  return "info";
}

class JournalSink final : public LogSink {
 public:
  void write(LogLevel level, std::string_view message) override {
    const std::string text(message);
    (void)sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priorityOf(level),
                          "SYSLOG_IDENTIFIER=%s", kIdentifier, "LOG_SUBSYSTEM=%s", kSubsystem,
                          "LOG_CATEGORY=%s", kCategory, nullptr);
  }
};

// The entries of this thread held back by a Logger::Batch, as whole lines.
thread_local int tBatchDepth = 0;
thread_local std::string tBatched;

void flushBatched() {
  if (!tBatched.empty()) (void)writeAll(STDERR_FILENO, tBatched);
  tBatched.clear();
}

class StderrSink final : public LogSink {
 public:
  void write(LogLevel level, std::string_view message) override {
    // Whole lines per write, so lines from two threads never interleave.
    std::string line = nameOf(level);
    line += ' ';
    line += escapeControlBytes(message);
    line += '\n';
    if (tBatchDepth == 0) {
      (void)writeAll(STDERR_FILENO, line);
      return;
    }
    if (tBatched.size() + line.size() > PIPE_BUF) flushBatched();
    tBatched += line;
  }
};

std::shared_ptr<LogSink> chooseSink() {
  const char* mode = std::getenv("ZIVUV_LOG");
  if (mode != nullptr && std::strcmp(mode, "stderr") == 0) return makeStderrSink();
  // sd_journal_send reports success even when nothing listens, so look for
  // the socket instead.
  if (::access("/run/systemd/journal/socket", F_OK) != 0) return makeStderrSink();
  return makeJournalSink();
}

// A fixed text followed by a path with its control bytes escaped.
std::string withPath(std::string_view text, std::string_view path) {
  std::string message;
  message.reserve(text.size() + path.size());
  message += text;
  message += escapeControlBytes(path);
  return message;
}

}  // namespace

std::shared_ptr<LogSink> makeJournalSink() { return std::make_shared<JournalSink>(); }
std::shared_ptr<LogSink> makeStderrSink() { return std::make_shared<StderrSink>(); }

Logger::Logger() : sink_(chooseSink()) {}

Logger& Logger::shared() {
  static Logger logger;
  return logger;
}

void Logger::write(LogLevel level, std::string_view message) {
  if (level == LogLevel::Error) {
    std::lock_guard lock(errorMutex_);
    lastError_ = {std::chrono::system_clock::now(), std::string(message)};
  }
  sink_->write(level, message);
  if (level == LogLevel::Error && errorObserver_) errorObserver_();
}

void Logger::setErrorObserver(std::function<void()> observer) {
  errorObserver_ = std::move(observer);
}

Logger::LastError Logger::lastError() const {
  std::lock_guard lock(errorMutex_);
  return lastError_;
}

void Logger::error(std::string_view text, std::string_view path) {
  write(LogLevel::Error, withPath(text, path));
}

void Logger::info(std::string_view text, std::string_view path) {
  write(LogLevel::Info, withPath(text, path));
}

void Logger::debug(std::string_view text, std::string_view path) {
  write(LogLevel::Debug, withPath(text, path));
}

Logger::Batch::Batch() { ++tBatchDepth; }

Logger::Batch::~Batch() {
  if (--tBatchDepth == 0) flushBatched();
}

void Logger::setSink(std::shared_ptr<LogSink> sink) { sink_ = std::move(sink); }

}  // namespace zivuv::platform

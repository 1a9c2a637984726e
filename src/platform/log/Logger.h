#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace zivuv::platform {

enum class LogLevel { Error, Info, Debug };

// Where log entries go. Implementations are thread-safe.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(LogLevel level, std::string_view message) = 0;
};

// The process-wide logger: subsystem "com.vezudi.Zivuv.ZivuvFolderMonitorListener",
// category "Folder Monitoring". Entries go to the journal, or to standard
// error as "<level> <text>" when the journal socket is absent or
// ZIVUV_LOG=stderr is set. The sink is chosen once, on first use.
class Logger {
 public:
  static Logger& shared();

  void error(std::string_view message) { write(LogLevel::Error, message); }
  void info(std::string_view message) { write(LogLevel::Info, message); }
  void debug(std::string_view message) { write(LogLevel::Debug, message); }

  // A fixed text followed by a path; control bytes in the path are escaped.
  void error(std::string_view text, std::string_view path);
  void info(std::string_view text, std::string_view path);
  void debug(std::string_view text, std::string_view path);

  void write(LogLevel level, std::string_view message);

  // The last error entry and when it was written; an empty text for none.
  struct LastError {
    std::chrono::system_clock::time_point when;
    std::string text;
  };
  LastError lastError() const;

  // Told after each error entry, on the thread that wrote it, which may
  // hold any lock: the observer takes none of its callers' locks. Set once
  // at start, before other threads log.
  void setErrorObserver(std::function<void()> observer);

  // While an object of this class lives on a thread, the entries that
  // thread sends to standard error are gathered and written as whole lines,
  // at most PIPE_BUF bytes at a time, and the rest when the last such object
  // on the thread ends: a scan's ten thousand entries cost a few hundred
  // writes instead of one each, and still never mix with another thread's.
  // The journal gets each entry as it comes.
  class Batch {
   public:
    Batch();
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
  };

  // Replaces the sink; tests record entries this way. Not for use while
  // other threads log.
  void setSink(std::shared_ptr<LogSink> sink);

 private:
  Logger();
  std::shared_ptr<LogSink> sink_;
  std::function<void()> errorObserver_;
  mutable std::mutex errorMutex_;
  LastError lastError_;
};

std::shared_ptr<LogSink> makeJournalSink();
std::shared_ptr<LogSink> makeStderrSink();

}  // namespace zivuv::platform

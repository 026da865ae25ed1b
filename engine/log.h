// The engine log: one process-wide sink that writes formatted lines to
// <dir>/corvel.log and, when console output is on, to stderr (fd 2).
//
// Levels: 0 verbose, 1 debug, 2 info (default), 3 warning, 4 error, 5 fatal,
// 6 off. A line is kept when its level is at least the configured level.
// When corvel.log grows past the rotation size (4 MiB unless changed through
// the hook) it becomes corvel.1.log, gzip-compressed to
// corvel.1.log.gz unless compression is disabled; older files shift up to
// corvel.5.log(.gz) and the oldest is removed.
#ifndef CORVEL_ENGINE_LOG_H_
#define CORVEL_ENGINE_LOG_H_

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace corvel::engine {

enum LogLevel : int {
  kLogVerbose = 0,
  kLogDebug = 1,
  kLogInfo = 2,
  kLogWarning = 3,
  kLogError = 4,
  kLogFatal = 5,
  kLogOff = 6,
};

inline constexpr int kDefaultLogLevel = kLogInfo;
inline constexpr uint64_t kDefaultRotateBytes = 4ull * 1024 * 1024;
inline constexpr int kMaxRotatedFiles = 5;
inline constexpr const char* kLogFileName = "corvel.log";

// A caller-supplied text made safe for one log line: quoted, control and
// non-ASCII bytes escaped as \xNN, cut after 200 bytes; "(null)" for null.
std::string LogText(const char* text);

class Logger {
 public:
  struct State {
    std::optional<std::string> directory;  // last directory accepted by SetDirectory
    bool file_open = false;
    int level = kDefaultLogLevel;
    bool console = false;
    bool file_disabled = false;
    bool compress_disabled = false;
    uint64_t rotate_bytes = kDefaultRotateBytes;
    uint64_t file_bytes = 0;  // size of the current corvel.log as the logger counts it
    uint64_t rotations = 0;
  };

  static Logger& Instance();

  Logger() = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // False also while lines have nowhere to go (no file open, console off), so
  // callers skip formatting them.
  bool Enabled(int level) const {
    return level < kLogOff && level >= min_level_.load(std::memory_order_relaxed) &&
           has_sink_.load(std::memory_order_relaxed);
  }
  void Write(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void WriteText(int level, std::string_view text);

  // False (and nothing changes) when path is null, not a directory, not
  // writable, or the log file cannot be opened in it.
  // False with *why (a static text) when the directory is not used.
  bool SetDirectory(const char* path, const char** why = nullptr);
  // Taken around fork() so the child inherits a consistent logger.
  std::mutex& ForkMutex() { return mu_; }
  void SetLevel(int level);
  void SetConsole(bool enabled);
  void SetFileDisabled(bool disabled);
  void SetCompressDisabled(bool disabled);
  // 0 restores the default of 4 MiB.
  void SetRotateBytes(uint64_t bytes);
  void Flush();
  // Back to the defaults: no directory, level info, console off, file and
  // compression on, default rotation size.
  void Reset();
  State Snapshot() const;

  static int ClampLevel(int level) { return level < 0 ? 0 : (level > kLogOff ? kLogOff : level); }
  static const char* LevelName(int level);

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const {
      if (f) std::fclose(f);
    }
  };
  using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

  FilePtr OpenLogFile(const std::string& directory, uint64_t* size);
  void ReopenLocked();
  void RotateLocked();
  void WriteLocked(const std::string& line);
  // Call after changing file_ or state_.console.
  void SinksChangedLocked() {
    has_sink_.store(file_ != nullptr || state_.console, std::memory_order_relaxed);
  }

  mutable std::mutex mu_;
  std::atomic<int> min_level_{kDefaultLogLevel};
  std::atomic<bool> has_sink_{false};
  State state_;
  FilePtr file_;
};

}  // namespace corvel::engine

#define CORVEL_LOG(level, ...)                                                       \
  do {                                                                               \
    ::corvel::engine::Logger& corvel_logger_ = ::corvel::engine::Logger::Instance(); \
    if (corvel_logger_.Enabled(level)) corvel_logger_.Write(level, __VA_ARGS__);     \
  } while (0)

#define LOG_VERBOSE(...) CORVEL_LOG(::corvel::engine::kLogVerbose, __VA_ARGS__)
#define LOG_DEBUG(...) CORVEL_LOG(::corvel::engine::kLogDebug, __VA_ARGS__)
#define LOG_INFO(...) CORVEL_LOG(::corvel::engine::kLogInfo, __VA_ARGS__)
#define LOG_WARNING(...) CORVEL_LOG(::corvel::engine::kLogWarning, __VA_ARGS__)
#define LOG_ERROR(...) CORVEL_LOG(::corvel::engine::kLogError, __VA_ARGS__)

#endif  // CORVEL_ENGINE_LOG_H_

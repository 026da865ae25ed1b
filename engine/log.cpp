#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdarg>
#include <ctime>
#include <filesystem>
#include <vector>

#include "no_destroy.h"

namespace corvel::engine {
namespace {

namespace fs = std::filesystem;

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string RotatedName(int index, bool gz) {
  return "corvel." + std::to_string(index) + ".log" + (gz ? ".gz" : "");
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Compresses `source` into `target` (written under a temporary name first so
// a half-written archive never carries the final name). True on success.
bool GzipFile(const std::string& source, const std::string& target) {
  std::FILE* in = std::fopen(source.c_str(), "rbe");
  if (!in) return false;
  const std::string partial = target + ".part";
  gzFile out = gzopen(partial.c_str(), "wb6");
  bool ok = out != nullptr;
  std::vector<char> buffer(1 << 16);
  while (ok) {
    size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
    if (n == 0) {
      ok = !std::ferror(in);
      break;
    }
    if (gzwrite(out, buffer.data(), static_cast<unsigned>(n)) != static_cast<int>(n)) ok = false;
  }
  std::fclose(in);
  if (out && gzclose(out) != Z_OK) ok = false;
  std::error_code ec;
  if (ok) fs::rename(partial, target, ec);
  if (!ok || ec) {
    fs::remove(partial, ec);
    return false;
  }
  return true;
}

std::string FormatPrefix(int level) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  char buf[96];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d.%03ld %s [%ld] ",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                ts.tv_nsec / 1000000, Logger::LevelName(level), static_cast<long>(gettid()));
  return buf;
}

}  // namespace

std::string LogText(const char* text) {
  if (!text) return "(null)";
  constexpr size_t kMaxBytes = 200;
  std::string out = "\"";
  size_t i = 0;
  for (; text[i] && i < kMaxBytes; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  if (text[i]) out += "...";
  return out;
}

Logger& Logger::Instance() {
  static NoDestroy<Logger> instance;
  return instance.get();
}

const char* Logger::LevelName(int level) {
  switch (ClampLevel(level)) {
    case kLogVerbose:
      return "VERBOSE";
    case kLogDebug:
      return "DEBUG";
    case kLogInfo:
      return "INFO";
    case kLogWarning:
      return "WARNING";
    case kLogError:
      return "ERROR";
    case kLogFatal:
      return "FATAL";
    default:
      return "OFF";
  }
}

void Logger::Write(int level, const char* format, ...) {
  if (!Enabled(level)) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
  }
  va_end(args);
  WriteText(level, text);
}

void Logger::WriteText(int level, std::string_view text) {
  if (!Enabled(level)) return;
  std::string line = FormatPrefix(level);
  line.append(text);
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(mu_);
  // The level may have changed since the unlocked check; honour the newest.
  if (level < state_.level) return;
  WriteLocked(line);
}

void Logger::WriteLocked(const std::string& line) {
  if (file_) {
    std::fwrite(line.data(), 1, line.size(), file_.get());
    std::fflush(file_.get());
    state_.file_bytes += line.size();
    if (state_.file_bytes > state_.rotate_bytes) RotateLocked();
  }
  if (state_.console) WriteAll(STDERR_FILENO, line.data(), line.size());
}

Logger::FilePtr Logger::OpenLogFile(const std::string& directory, uint64_t* size) {
  const std::string path = JoinPath(directory, kLogFileName);
  // Never blocks: a FIFO (or a device) named corvel.log would otherwise hold
  // the caller in open() until a reader shows up. Only a regular file is used.
  int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  // Writes to a regular file block as usual.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    ::close(fd);
    return nullptr;
  }
  *size = static_cast<uint64_t>(st.st_size);
  std::FILE* f = ::fdopen(fd, "a");
  if (!f) {
    ::close(fd);
    return nullptr;
  }
  return FilePtr(f);
}

void Logger::ReopenLocked() {
  file_.reset();
  state_.file_open = false;
  state_.file_bytes = 0;
  if (state_.directory && !state_.file_disabled) {
    uint64_t size = 0;
    file_ = OpenLogFile(*state_.directory, &size);
    state_.file_open = file_ != nullptr;
    state_.file_bytes = size;
  }
  SinksChangedLocked();
}

void Logger::RotateLocked() {
  if (!state_.directory) return;
  const std::string& dir = *state_.directory;
  file_.reset();
  std::error_code ec;
  for (bool gz : {false, true}) fs::remove(JoinPath(dir, RotatedName(kMaxRotatedFiles, gz)), ec);
  for (int i = kMaxRotatedFiles - 1; i >= 1; --i) {
    for (bool gz : {false, true}) {
      const std::string from = JoinPath(dir, RotatedName(i, gz));
      if (fs::exists(from, ec)) fs::rename(from, JoinPath(dir, RotatedName(i + 1, gz)), ec);
    }
  }
  const std::string first = JoinPath(dir, RotatedName(1, false));
  fs::rename(JoinPath(dir, kLogFileName), first, ec);
  if (!ec && !state_.compress_disabled) {
    if (GzipFile(first, JoinPath(dir, RotatedName(1, true)))) fs::remove(first, ec);
  }
  ++state_.rotations;
  ReopenLocked();
}

bool Logger::SetDirectory(const char* path, const char** why) {
  const char* ignored = nullptr;
  if (!why) why = &ignored;
  if (!path || !*path) {
    *why = "the path is empty";
    return false;
  }
  struct stat st {};
  if (::stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
    *why = "not a directory";
    return false;
  }
  if (::access(path, W_OK | X_OK) != 0) {
    *why = "the directory is not writable";
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const std::string directory(path);
  if (state_.file_disabled) {
    file_.reset();
    state_.file_open = false;
    state_.file_bytes = 0;
    state_.directory = directory;
    SinksChangedLocked();
    return true;
  }
  uint64_t size = 0;
  FilePtr opened = OpenLogFile(directory, &size);
  if (!opened) {
    *why = "corvel.log there cannot be opened as a regular file";
    return false;
  }
  file_ = std::move(opened);
  state_.directory = directory;
  state_.file_open = true;
  state_.file_bytes = size;
  SinksChangedLocked();
  return true;
}

void Logger::SetLevel(int level) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.level = ClampLevel(level);
  min_level_.store(state_.level, std::memory_order_relaxed);
}

void Logger::SetConsole(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.console = enabled;
  SinksChangedLocked();
}

void Logger::SetFileDisabled(bool disabled) {
  std::lock_guard<std::mutex> lock(mu_);
  if (state_.file_disabled == disabled) return;
  state_.file_disabled = disabled;
  ReopenLocked();
}

void Logger::SetCompressDisabled(bool disabled) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.compress_disabled = disabled;
}

void Logger::SetRotateBytes(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.rotate_bytes = bytes == 0 ? kDefaultRotateBytes : bytes;
}

void Logger::Flush() {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_) std::fflush(file_.get());
}

void Logger::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  file_.reset();
  state_ = State{};
  min_level_.store(state_.level, std::memory_order_relaxed);
  SinksChangedLocked();
}

Logger::State Logger::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_;
}

}  // namespace corvel::engine

#include "status.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "counters.h"
#include "log.h"
#include "no_destroy.h"

namespace corvel::engine {
namespace {

thread_local std::string t_reason;

// Repeats of each reason, to keep a storm of identical refusals from flooding
// the log. Bounded: forgotten wholesale when it holds too many reasons.
class RepeatCounter {
 public:
  static constexpr size_t kMaxReasons = 1024;

  static RepeatCounter& Get() {
    static NoDestroy<RepeatCounter> counter;
    return counter.get();
  }

  // How many times `reason` has been seen, this one included.
  std::mutex& mutex() { return mu_; }

  uint64_t Count(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mu_);
    if (seen_.size() >= kMaxReasons && !seen_.count(reason)) seen_.clear();
    return ++seen_[reason];
  }

 private:
  std::mutex mu_;
  std::unordered_map<std::string, uint64_t> seen_;
};

bool PowerOfTen(uint64_t n) {
  while (n >= 10 && n % 10 == 0) n /= 10;
  return n == 1;
}

}  // namespace

std::mutex& RefusalLogMutex() { return RepeatCounter::Get().mutex(); }

void BeginOperation() { t_reason.clear(); }

void Refuse(uint64_t instance, const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  t_reason.assign(buffer, n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
  if (!Logger::Instance().Enabled(kLogWarning)) return;
  const uint64_t count = RepeatCounter::Get().Count(t_reason);
  char prefix[48] = "";
  if (instance != 0)
    std::snprintf(prefix, sizeof prefix,
                  "instance %llu: ", static_cast<unsigned long long>(instance));
  if (count == 1) {
    LOG_WARNING("%s%s", prefix, t_reason.c_str());
  } else if (PowerOfTen(count)) {
    LOG_WARNING("%s%s (%llu times so far)", prefix, t_reason.c_str(),
                static_cast<unsigned long long>(count));
  }
}

void NoteRefusal(const char* text) { t_reason = text; }

const char* LastRefusal() { return t_reason.c_str(); }

}  // namespace corvel::engine

// Not part of the engine interface: a production engine need not export these,
// and callers look them up dynamically.
extern "C" __attribute__((visibility("default"))) const char* corvel_last_refusal(void) {
  return corvel::engine::LastRefusal();
}

extern "C" __attribute__((visibility("default"))) unsigned long long corvel_dropped_callbacks(
    void) {
  return corvel::engine::EngineTotals::Get().dropped.load(std::memory_order_relaxed);
}

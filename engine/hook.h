// The engine's side of corvel_hook.h: the installed observer, read once per
// event, and the helpers that report events to it.
#ifndef CORVEL_ENGINE_HOOK_H_
#define CORVEL_ENGINE_HOOK_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "corvel_hook.h"

namespace corvel::engine {

extern std::atomic<const corvel_observer*> g_observer;

// The installed observer or null. An acquire load: on x86-64 and ARMv8 as
// cheap as a relaxed one, and it makes the observer's fields visible.
inline const corvel_observer* Observer() { return g_observer.load(std::memory_order_acquire); }

class InstanceCounters;

// A reference the observer owns to an instance's counters.
corvel_counters_ref* NewCountersRef(std::shared_ptr<InstanceCounters> counters);

// Reports a settings call to `o` (not null).
void ReportSetting(const corvel_observer* o, const char* function, const char* text0,
                   const char* text1, const char* text2, int64_t number, int has_result,
                   int result);

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_HOOK_H_

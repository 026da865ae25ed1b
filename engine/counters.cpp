#include "counters.h"

#include "no_destroy.h"

namespace corvel::engine {

EngineTotals& EngineTotals::Get() {
  static NoDestroy<EngineTotals> totals;
  return totals.get();
}

void InstanceCounters::CountDropped() {
  dropped_.fetch_add(1, std::memory_order_relaxed);
  EngineTotals::Get().dropped.fetch_add(1, std::memory_order_relaxed);
}

void InstanceCounters::CountCallbackError() {
  callback_errors_.fetch_add(1, std::memory_order_relaxed);
  EngineTotals::Get().callback_errors.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace corvel::engine

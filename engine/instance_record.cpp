#include "instance_record.h"

#include "no_destroy.h"

namespace corvel::engine {

EngineTotals& EngineTotals::Get() {
  static NoDestroy<EngineTotals> totals;
  return totals.get();
}

void InstanceRecord::AddCall(std::string json_object) {
  std::lock_guard<std::mutex> lock(mu_);
  if (calls_.size() >= kMaxCalls) {
    ++omitted_;
    return;
  }
  calls_.push_back(std::move(json_object));
}

bool InstanceRecord::OmitIfFull() {
  std::lock_guard<std::mutex> lock(mu_);
  if (calls_.size() < kMaxCalls) return false;
  ++omitted_;
  return true;
}

std::string InstanceRecord::CallsJson() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out = "[";
  for (size_t i = 0; i < calls_.size(); ++i) {
    if (i) out.push_back(',');
    out += calls_[i];
  }
  out.push_back(']');
  return out;
}

void InstanceRecord::ClearCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
  omitted_ = 0;
}

uint64_t InstanceRecord::omitted_calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return omitted_;
}

void InstanceRecord::CountDropped() {
  dropped_.fetch_add(1, std::memory_order_relaxed);
  EngineTotals::Get().dropped.fetch_add(1, std::memory_order_relaxed);
}

void InstanceRecord::CountCallbackError() {
  callback_errors_.fetch_add(1, std::memory_order_relaxed);
  EngineTotals::Get().callback_errors.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace corvel::engine

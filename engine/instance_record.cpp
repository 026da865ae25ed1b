#include "instance_record.h"

#include "no_destroy.h"

namespace corvel::engine {

EngineTotals& EngineTotals::Get() {
  static NoDestroy<EngineTotals> totals;
  return totals.get();
}

namespace {

std::atomic<uint64_t> g_record_bytes{0};
std::atomic<RecordBudget::Reclaimer> g_reclaimer{nullptr};

}  // namespace

void RecordBudget::SetReclaimer(Reclaimer reclaimer) { g_reclaimer.store(reclaimer); }

bool RecordBudget::Reserve(uint64_t bytes) {
  while (true) {
    uint64_t used = g_record_bytes.load(std::memory_order_relaxed);
    while (used + bytes <= kBytes) {
      if (g_record_bytes.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed))
        return true;
    }
    const Reclaimer reclaimer = g_reclaimer.load();
    if (!reclaimer || !reclaimer(bytes)) return false;
  }
}

void RecordBudget::Release(uint64_t bytes) {
  g_record_bytes.fetch_sub(bytes, std::memory_order_relaxed);
}

uint64_t RecordBudget::used() { return g_record_bytes.load(std::memory_order_relaxed); }

InstanceRecord::~InstanceRecord() { RecordBudget::Release(calls_bytes_); }

void InstanceRecord::AddCall(std::string json_object) {
  // Reserved before mu_ is taken: reclaiming locks other records.
  const uint64_t bytes = json_object.capacity() + sizeof(std::string);
  const bool reserved = RecordBudget::Reserve(bytes);
  std::lock_guard<std::mutex> lock(mu_);
  if (!reserved || calls_.size() >= kMaxCalls) {
    if (reserved) RecordBudget::Release(bytes);
    ++omitted_;
    return;
  }
  calls_.push_back(std::move(json_object));
  calls_bytes_ += bytes;
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
  std::vector<std::string>().swap(calls_);
  RecordBudget::Release(calls_bytes_);
  calls_bytes_ = 0;
  omitted_ = 0;
}

uint64_t InstanceRecord::DropCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t freed = calls_bytes_;
  omitted_ += calls_.size();
  std::vector<std::string>().swap(calls_);
  RecordBudget::Release(calls_bytes_);
  calls_bytes_ = 0;
  return freed;
}

uint64_t InstanceRecord::kept_bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_bytes_;
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

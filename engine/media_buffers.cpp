#include "media_buffers.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

namespace {

// A pacer that fell this far behind its schedule starts a new one.
constexpr milliseconds kPacerResync{100};

}  // namespace

uint32_t PtsAt(const std::deque<std::pair<uint64_t, uint32_t>>& anchors, uint64_t index, int rate) {
  if (anchors.empty()) return 0;
  auto it = anchors.begin();
  for (auto next = it; next != anchors.end() && next->first <= index; ++next) it = next;
  const uint64_t offset = index >= it->first ? index - it->first : 0;
  return it->second + static_cast<uint32_t>(offset * 1000 / static_cast<uint64_t>(rate));
}

// ---- PullBuffer ----

bool PullBuffer::Pop(AudioFrame* out) {
  std::optional<AudioFrame> frame = frames_.TryPop();
  if (!frame) return false;
  *out = *frame;
  return true;
}

// ---- Pacer ----

Pacer::Pacer(int sample_rate, int channels, int frame_ms)
    : rate_(sample_rate), channels_(channels), frame_ms_(frame_ms) {}

bool Pacer::Push(const int16_t* samples, size_t frames, uint32_t pts, bool clear,
                 MediaCounters& counters) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!fifo_) fifo_.emplace(rate_, channels_, frame_ms_, kCapacityMs);
  const size_t block = fifo_->frame_frames();
  if (clear && fifo_->buffered_frames() > 0) {
    counters.pacing_cleared.fetch_add((fifo_->buffered_frames() + block - 1) / block);
    fifo_->Clear();
    anchors_.clear();
    popped_ = pushed_;
  }
  const uint64_t dropped_before = fifo_->dropped_frames();
  anchors_.emplace_back(pushed_, pts);
  fifo_->Push(samples, frames);
  pushed_ += frames;
  const uint64_t dropped = fifo_->dropped_frames() - dropped_before;
  if (dropped > 0) {
    popped_ += dropped;
    counters.pacing_drops.fetch_add((dropped + block - 1) / block);
  }
  const auto now = Clock::now();
  last_push_ = now;
  if (running_) return false;
  running_ = true;
  next_due_ = now;
  return true;
}

PayloadPtr Pacer::PopDue(Clock::time_point now, uint32_t* pts) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!running_ || !fifo_ || now < next_due_) return nullptr;
  const milliseconds frame{frame_ms_};
  if (!fifo_->HasFrame()) {
    const size_t buffered = fifo_->buffered_frames();
    if (buffered == 0) {
      running_ = false;
      anchors_.clear();
      return nullptr;
    }
    if (now - last_push_ < frame) {
      // A partial frame: give the application one frame length to complete it.
      next_due_ = last_push_ + frame;
      return nullptr;
    }
    // The tail of what was sent: completed with silence.
    std::vector<int16_t> silence((fifo_->frame_frames() - buffered) * channels_, 0);
    fifo_->Push(silence.data(), silence.size() / channels_);
    pushed_ += silence.size() / channels_;
  }
  auto payload = std::make_shared<Payload>();
  payload->data.resize(fifo_->frame_samples() * sizeof(int16_t));
  fifo_->PopFrame(
      std::span<int16_t>(reinterpret_cast<int16_t*>(payload->data.data()), fifo_->frame_samples()));
  *pts = PtsAt(anchors_, popped_, rate_);
  popped_ += fifo_->frame_frames();
  while (anchors_.size() > 1 && anchors_[1].first <= popped_) anchors_.pop_front();
  next_due_ += frame;
  if (now - next_due_ > kPacerResync) next_due_ = now;
  return payload;
}

std::optional<Clock::time_point> Pacer::NextDue() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!running_) return std::nullopt;
  return next_due_;
}

double Pacer::QueuedMs() {
  std::lock_guard<std::mutex> lock(mu_);
  return fifo_ ? fifo_->buffered_ms() : 0.0;
}

}  // namespace corvel::engine

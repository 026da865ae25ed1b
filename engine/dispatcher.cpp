#include "dispatcher.h"

#include <cxxabi.h>

#include <cstring>
#include <exception>
#include <utility>

#include "log.h"

namespace corvel::engine {
namespace {

thread_local bool t_engine_thread = false;

}  // namespace

bool IsMediaCallback(const char* name) {
  static constexpr const char* kMedia[] = {
      "OnRemoteAudioReceived",      "OnRemoteMixedAudioReceived", "OnRemoteVideoReceived",
      "OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived", "OnSeiMessageReceived",
      "OnNetworkQuality",           "OnUserVoiceVolume",          "OnRequestKeyFrame",
      "OnReceiveAsrMessage",
  };
  if (!name) return false;
  for (const char* media : kMedia)
    if (std::strcmp(name, media) == 0) return true;
  return false;
}

void MarkEngineThread() { t_engine_thread = true; }

bool OnEngineThread() { return t_engine_thread; }

void ForgetEngineThread() { t_engine_thread = false; }

void Completion::Finish(int result) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (result_ != kPending) return;
    result_ = result;
  }
  cv_.notify_all();
}

int Completion::Wait(std::optional<std::chrono::milliseconds> timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  auto done = [&] { return result_ != kPending; };
  if (!timeout) {
    cv_.wait(lock, done);
  } else if (!cv_.wait_for(lock, *timeout, done)) {
    return kTimedOut;
  }
  return result_;
}

Dispatcher::Dispatcher(vora::VORACloudDelegate* delegate, size_t capacity,
                       std::shared_ptr<InstanceCounters> counters)
    : delegate_(delegate),
      capacity_(capacity == 0 ? 1 : capacity),
      counters_(std::move(counters)) {}

Dispatcher::~Dispatcher() {
  if (thread_.joinable()) Stop();
}

void Dispatcher::Start() {
  thread_ = std::thread(&Dispatcher::ThreadMain, this);
  thread_id_ = thread_.get_id();
}

Dispatcher::PostResult Dispatcher::Post(Task task) {
  size_t depth = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return PostResult::kClosed;
    depth = queue_.size();
    if (depth < capacity_ || !IsMediaCallback(task.name)) {
      queue_.push_back(std::move(task));
      depth = 0;
    }
  }
  if (depth == 0) {
    wake_.notify_one();
    return PostResult::kQueued;
  }
  Dropped(task, depth);
  return PostResult::kFull;
}

Dispatcher::PostResult Dispatcher::PostAll(std::vector<Task>& tasks) {
  // Tasks that found the queue full, moved to the front of `tasks`.
  size_t dropped = 0;
  size_t depth = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) {
      tasks.clear();
      return PostResult::kClosed;
    }
    for (Task& task : tasks) {
      depth = queue_.size();
      if (depth < capacity_ || !IsMediaCallback(task.name)) {
        queue_.push_back(std::move(task));
      } else {
        if (&tasks[dropped] != &task) tasks[dropped] = std::move(task);
        ++dropped;
      }
    }
  }
  const bool queued = dropped < tasks.size();
  if (queued) wake_.notify_one();
  for (size_t i = 0; i < dropped; ++i) Dropped(tasks[i], depth);
  tasks.clear();
  return dropped == 0 ? PostResult::kQueued : PostResult::kFull;
}

void Dispatcher::Dropped(Task& task, size_t depth) {
  counters_->CountDropped();
  const uint64_t dropped = counters_->dropped();
  if (dropped == 1 || dropped % 1000 == 0) {
    LOG_WARNING("instance %llu: callback queue full (%zu), dropped %s; %llu dropped so far",
                static_cast<unsigned long long>(counters_->id()), depth, task.name,
                static_cast<unsigned long long>(dropped));
  }
  if (task.done) task.done->Finish(Completion::kDropped);
}

std::deque<Task> Dispatcher::CloseLocked() {
  closed_ = true;
  std::deque<Task> discarded;
  discarded.swap(queue_);
  return discarded;
}

void Dispatcher::Stop() {
  std::deque<Task> discarded;
  {
    std::lock_guard<std::mutex> lock(mu_);
    discarded = CloseLocked();
  }
  wake_.notify_all();
  idle_.notify_all();
  counters_->CountDiscarded(discarded.size());
  for (Task& task : discarded) {
    if (task.done) task.done->Finish(Completion::kDiscarded);
  }
  discarded.clear();
  if (thread_.joinable()) thread_.join();
}

bool Dispatcher::StopOnEngineThread(std::shared_ptr<void>& owner) {
  std::deque<Task> discarded;
  const std::shared_ptr<InstanceCounters> counters = counters_;
  bool detached = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    discarded = CloseLocked();
    if (running_task_ || OnDeliveryThread()) {
      // Detached and notified before the owner is handed over: once mu_ is
      // let go the delivery thread may free *this at any moment.
      if (thread_.joinable()) thread_.detach();
      orphan_owner_ = std::move(owner);
      detached = true;
    }
    wake_.notify_all();
    idle_.notify_all();
  }
  // When detached, nothing below may touch *this.
  counters->CountDiscarded(discarded.size());
  for (Task& task : discarded) {
    if (task.done) task.done->Finish(Completion::kDiscarded);
  }
  discarded.clear();
  // Closed with no callback running: the thread only wakes up and exits.
  if (!detached && thread_.joinable()) thread_.join();
  return detached;
}

bool Dispatcher::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return idle_.wait_for(lock, timeout, [&] { return queue_.empty() && !running_task_; });
}

size_t Dispatcher::QueueDepth() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size();
}

void Dispatcher::ThreadMain(Dispatcher* self) {
  MarkEngineThread();
  self->Loop();
  std::shared_ptr<void> owner;
  {
    std::lock_guard<std::mutex> lock(self->mu_);
    owner = std::move(self->orphan_owner_);
  }
  // When the instance was destroyed from one of its own callbacks, this frees
  // it (and *self); nothing below may touch self.
  owner.reset();
}

void Dispatcher::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    wake_.wait(lock, [&] { return closed_ || !queue_.empty(); });
    if (closed_) break;
    Task task = std::move(queue_.front());
    queue_.pop_front();
    running_task_ = true;
    lock.unlock();

    Run(task);
    counters_->CountDelivered();
    if (task.done) task.done->Finish(Completion::kDelivered);
    task = Task{};  // release the arguments before taking the lock again

    lock.lock();
    running_task_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
  running_task_ = false;
  idle_.notify_all();
}

void Dispatcher::Run(Task& task) {
  try {
    task.call(*delegate_);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    counters_->CountCallbackError();
    LOG_ERROR("delegate callback %s threw: %s (instance %llu)", task.name, e.what(),
              static_cast<unsigned long long>(counters_->id()));
  } catch (...) {
    counters_->CountCallbackError();
    LOG_ERROR("delegate callback %s threw: unknown exception (instance %llu)", task.name,
              static_cast<unsigned long long>(counters_->id()));
  }
}

}  // namespace corvel::engine

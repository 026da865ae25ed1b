#include "dispatcher.h"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <utility>

#include "corvel_delivery.h"
#include "log.h"

namespace corvel::engine {
namespace {

using Clock = std::chrono::steady_clock;

// Tasks of one strand a pool thread runs before it turns to the next ready
// strand (the strand goes to the end of the list when it has more).
constexpr size_t kStrandBudget = 64;
// How long a run of callbacks goes on before the listener is told it ended:
// twice CPython's switch interval (5 ms). A thread waiting that long for the
// interpreter lock asks for it and gets it when the run ends; ended sooner,
// and started again at once, a run would hand the lock back to itself before
// the waiter asks, again and again.
constexpr auto kRunTime = std::chrono::milliseconds(10);
// Base threads: as many as cores, at least 2, at most 4.
constexpr size_t kMinBaseThreads = 2;
constexpr size_t kMaxBaseThreads = 4;
constexpr size_t kMaxThreads = 64;
// A thread is added when every pool thread has been inside one task this long
// while strands wait; the monitor looks every kTick while any thread runs.
constexpr auto kStall = std::chrono::milliseconds(10);
constexpr auto kTick = std::chrono::milliseconds(5);
// An added thread ends after this long without work.
constexpr auto kRetireAfter = std::chrono::seconds(5);
// Bound of every idle wait (the wait starts again afterwards).
constexpr auto kIdleSlice = std::chrono::seconds(1);

thread_local bool t_engine_thread = false;
thread_local const Strand* t_strand = nullptr;  // whose task this thread runs
thread_local int t_thread_kind = CORVEL_DELIVERY_THREAD_NONE;

std::atomic<const corvel_delivery_listener*> g_listener{nullptr};

void TellRunEnded() {
  if (const corvel_delivery_listener* l = g_listener.load(std::memory_order_acquire);
      l && l->run_ended) {
    l->run_ended(l->context);
  }
}

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

// ---- strand ----

class Strand : public std::enable_shared_from_this<Strand> {
 public:
  enum class RunEnd { kDrained, kMore, kClosed };

  Strand(vora::VORACloudDelegate* delegate, size_t capacity,
         std::shared_ptr<InstanceCounters> counters)
      : delegate_(delegate), counters_(std::move(counters)), queue_(capacity) {}

  Dispatcher::PostResult Post(Task& task);
  Dispatcher::PostResult PostAll(std::vector<Task>& tasks);
  void Stop();
  bool StopOnEngineThread(std::shared_ptr<void>& owner);
  bool WaitIdle(std::chrono::milliseconds timeout);
  size_t depth() const { return queue_.size(); }
  size_t capacity() const { return queue_.limit(); }

  // On a pool thread: runs up to `budget` tasks, counting each in
  // `task_count` as it starts and again as it ends (odd: inside one). An instance destroyed
  // meanwhile from an engine thread hands its owner over in `orphan`.
  RunEnd Run(size_t budget, std::atomic<uint64_t>& task_count, std::shared_ptr<void>& orphan);

 private:
  void Schedule();
  void Deliver(Task& task);
  void Finish(Task& task, int result);
  void Dropped(Task& task);
  void Discard(std::deque<Task>& tasks);

  vora::VORACloudDelegate* const delegate_;
  const std::shared_ptr<InstanceCounters> counters_;
  BoundedQueue<Task> queue_;
  // On the ready list or being run; set by whoever makes it so.
  std::atomic<bool> scheduled_{false};

  mutable std::mutex mu_;  // before queue_'s own
  std::condition_variable idle_;
  // Written under mu_; read without it by the thread running the strand
  // between tasks.
  std::atomic<bool> closed_{false};
  bool running_ = false;                // a pool thread is in Run
  std::shared_ptr<void> orphan_owner_;  // set by StopOnEngineThread
};

// ---- pool ----

class DeliveryPool {
 public:
  static DeliveryPool& Get() { return *Current(); }
  // Never destroyed: pool threads run until the process ends.
  static DeliveryPool*& Current() {
    static DeliveryPool* pool = std::make_unique<DeliveryPool>().release();
    return pool;
  }

  void EnsureStarted();
  void Enqueue(std::shared_ptr<Strand> strand);
  size_t threads() {
    std::lock_guard<std::mutex> lock(mu_);
    return workers_.size();
  }
  std::mutex& mutex() { return mu_; }

 private:
  struct Worker {
    bool long_lived = false;
    bool woken = false;                   // under mu_
    std::condition_variable wake;         // with mu_
    std::atomic<uint64_t> task_count{0};  // see Strand::Run; written by this thread only
    // The monitor's: task_count when it last looked, and for how many ticks
    // it has not moved while odd.
    uint64_t seen_count = 0;
    int stuck_ticks = 0;
  };

  void SpawnLocked(bool long_lived);
  void WakeLocked();  // the idle thread that waited least
  void WorkerMain(std::shared_ptr<Worker> self);
  // With mu_ held: waits until woken; false when the thread is to end.
  bool WaitForWorkLocked(std::unique_lock<std::mutex>& lock, Worker& self);
  void MonitorMain();

  std::mutex mu_;
  bool started_ = false;
  std::deque<std::shared_ptr<Strand>> ready_;
  std::vector<std::shared_ptr<Worker>> workers_;
  std::vector<Worker*> idle_;  // waiting for work, most recent last
  size_t woken_ = 0;           // woken for work and not yet back at the list
  size_t running_ = 0;         // threads running a strand
  std::condition_variable monitor_wake_;
  bool monitor_asleep_ = false;  // waiting to be woken by the next run
};

// ---- Dispatcher ----

Dispatcher::Dispatcher(vora::VORACloudDelegate* delegate, size_t capacity,
                       std::shared_ptr<InstanceCounters> counters)
    : delegate_(delegate),
      strand_(std::make_shared<Strand>(delegate, capacity, std::move(counters))) {}

Dispatcher::~Dispatcher() { strand_->Stop(); }

void Dispatcher::Start() { DeliveryPool::Get().EnsureStarted(); }

Dispatcher::PostResult Dispatcher::Post(Task task) { return strand_->Post(task); }

Dispatcher::PostResult Dispatcher::PostAll(std::vector<Task>& tasks) {
  return strand_->PostAll(tasks);
}

bool Dispatcher::OnDeliveryThread() const { return t_strand == strand_.get(); }

void Dispatcher::Stop() { strand_->Stop(); }

bool Dispatcher::StopOnEngineThread(std::shared_ptr<void>& owner) {
  return strand_->StopOnEngineThread(owner);
}

bool Dispatcher::WaitIdle(std::chrono::milliseconds timeout) { return strand_->WaitIdle(timeout); }

size_t Dispatcher::QueueDepth() const { return strand_->depth(); }

size_t Dispatcher::capacity() const { return strand_->capacity(); }

// ---- Strand ----

Dispatcher::PostResult Strand::Post(Task& task) {
  const QueueResult queued =
      IsMediaCallback(task.name) ? queue_.TryPush(task) : queue_.Push(std::move(task));
  if (queued == QueueResult::kClosed) return Dispatcher::PostResult::kClosed;
  if (queued == QueueResult::kFull) {
    Dropped(task);
    return Dispatcher::PostResult::kFull;
  }
  Schedule();
  return Dispatcher::PostResult::kQueued;
}

Dispatcher::PostResult Strand::PostAll(std::vector<Task>& tasks) {
  const size_t count = tasks.size();
  const QueueResult queued =
      queue_.PushAll(tasks, [](const Task& task) { return IsMediaCallback(task.name); });
  if (queued == QueueResult::kClosed) {
    tasks.clear();
    return Dispatcher::PostResult::kClosed;
  }
  if (tasks.size() < count) Schedule();
  for (Task& task : tasks) Dropped(task);
  tasks.clear();
  return queued == QueueResult::kQueued ? Dispatcher::PostResult::kQueued
                                        : Dispatcher::PostResult::kFull;
}

void Strand::Schedule() {
  if (!scheduled_.exchange(true, std::memory_order_acq_rel))
    DeliveryPool::Get().Enqueue(shared_from_this());
}

void Strand::Dropped(Task& task) {
  counters_->CountDropped();
  const uint64_t dropped = counters_->dropped();
  if (dropped == 1 || dropped % 1000 == 0) {
    LOG_WARNING("instance %llu: callback queue full (%zu), dropped %s; %llu dropped so far",
                static_cast<unsigned long long>(counters_->id()), queue_.limit(), task.name,
                static_cast<unsigned long long>(dropped));
  }
  Finish(task, Completion::kDropped);
}

void Strand::Discard(std::deque<Task>& tasks) {
  counters_->CountDiscarded(tasks.size());
  for (Task& task : tasks) Finish(task, Completion::kDiscarded);
  tasks.clear();
}

void Strand::Stop() {
  std::deque<Task> discarded;
  {
    std::unique_lock<std::mutex> lock(mu_);
    closed_.store(true, std::memory_order_release);
    discarded = queue_.Close();
    // The callback in progress finishes; the run then ends before the next.
    while (running_) idle_.wait_for(lock, kIdleSlice);
  }
  idle_.notify_all();
  Discard(discarded);
}

bool Strand::StopOnEngineThread(std::shared_ptr<void>& owner) {
  std::deque<Task> discarded;
  bool handed_over = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closed_.store(true, std::memory_order_release);
    discarded = queue_.Close();
    if (running_) {
      // The pool thread running this strand frees the owner once its task
      // returns (Run hands it over as it ends).
      orphan_owner_ = std::move(owner);
      handed_over = true;
    }
  }
  idle_.notify_all();
  Discard(discarded);
  return handed_over;
}

bool Strand::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return idle_.wait_for(lock, timeout, [&] { return !running_ && queue_.empty(); });
}

Strand::RunEnd Strand::Run(size_t budget, std::atomic<uint64_t>& task_count,
                           std::shared_ptr<void>& orphan) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return RunEnd::kClosed;
    running_ = true;
  }
  t_strand = this;
  RunEnd end = RunEnd::kDrained;
  for (size_t n = 0;; ++n) {
    // Stop closes the queue (emptying it) after setting closed_: a task
    // taken just before still runs, as one already running would finish.
    if (closed_.load(std::memory_order_acquire)) {
      end = RunEnd::kClosed;
      break;
    }
    if (n == budget) {
      end = RunEnd::kMore;
      break;
    }
    std::optional<Task> task = queue_.TryPop();
    if (!task) break;
    uint64_t count = task_count.load(std::memory_order_relaxed);
    task_count.store(++count, std::memory_order_relaxed);
    Deliver(*task);
    task.reset();  // the arguments go before the next task
    task_count.store(++count, std::memory_order_relaxed);
  }
  t_strand = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = false;
    if (closed_) end = RunEnd::kClosed;
    orphan = std::move(orphan_owner_);
  }
  idle_.notify_all();
  if (end == RunEnd::kDrained) {
    // A post that found the strand still scheduled left the scheduling to
    // this thread: reading the flag back (an exchange) orders its task
    // before the look at the queue.
    scheduled_.exchange(false, std::memory_order_acq_rel);
    if (!queue_.empty() && !scheduled_.exchange(true, std::memory_order_acq_rel))
      end = RunEnd::kMore;
  }
  return end;
}

void Strand::Deliver(Task& task) {
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
  counters_->CountDelivered();
  Finish(task, Completion::kDelivered);
}

// Whoever waits for the task learns its end only once its arguments are
// gone: a waiter may then count on what they held being released.
void Strand::Finish(Task& task, int result) {
  if (!task.done) return;
  task.call = nullptr;
  task.done->Finish(result);
}

// ---- DeliveryPool ----

void DeliveryPool::EnsureStarted() {
  std::lock_guard<std::mutex> lock(mu_);
  if (started_) return;
  started_ = true;
  const size_t cores = std::thread::hardware_concurrency();
  const size_t base = std::clamp(cores, kMinBaseThreads, kMaxBaseThreads);
  for (size_t i = 0; i < base; ++i) SpawnLocked(true);
  std::thread(&DeliveryPool::MonitorMain, this).detach();
}

void DeliveryPool::SpawnLocked(bool long_lived) {
  auto worker = std::make_shared<Worker>();
  worker->long_lived = long_lived;
  workers_.push_back(worker);
  // Detached: base threads live as long as the process; added ones end on
  // their own once idle.
  std::thread(&DeliveryPool::WorkerMain, this, std::move(worker)).detach();
}

void DeliveryPool::Enqueue(std::shared_ptr<Strand> strand) {
  std::lock_guard<std::mutex> lock(mu_);
  ready_.push_back(std::move(strand));
  // One thread on its way to the list is enough for a burst of posts: it
  // runs them all, one after the other (the monitor wakes another when one
  // of them holds it up).
  if (woken_ == 0 && !idle_.empty()) WakeLocked();
}

void DeliveryPool::WakeLocked() {
  Worker* worker = idle_.back();
  idle_.pop_back();
  worker->woken = true;
  ++woken_;
  worker->wake.notify_one();
}

bool DeliveryPool::WaitForWorkLocked(std::unique_lock<std::mutex>& lock, Worker& self) {
  self.woken = false;
  idle_.push_back(&self);
  const auto retire_at = Clock::now() + kRetireAfter;
  while (!self.woken) {
    self.wake.wait_for(lock, kIdleSlice);
    if (self.woken || self.long_lived || Clock::now() < retire_at) continue;
    idle_.erase(std::find(idle_.begin(), idle_.end(), &self));
    workers_.erase(
        std::find_if(workers_.begin(), workers_.end(),
                     [&](const std::shared_ptr<Worker>& w) { return w.get() == &self; }));
    return false;
  }
  --woken_;
  return true;
}

void DeliveryPool::WorkerMain(std::shared_ptr<Worker> self) {
  MarkEngineThread();
  t_thread_kind =
      self->long_lived ? CORVEL_DELIVERY_THREAD_LONG_LIVED : CORVEL_DELIVERY_THREAD_TEMPORARY;
  bool told = true;  // the listener knows the last run ended
  Clock::time_point run_began;
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    if (ready_.empty()) {
      if (!told) {
        lock.unlock();
        TellRunEnded();
        told = true;
        lock.lock();
        continue;
      }
      if (!WaitForWorkLocked(lock, *self)) break;
      continue;
    }
    std::shared_ptr<Strand> strand = std::move(ready_.front());
    ready_.pop_front();
    ++running_;
    if (monitor_asleep_) {
      monitor_asleep_ = false;
      monitor_wake_.notify_one();
    }
    lock.unlock();

    if (told) {
      told = false;
      run_began = Clock::now();
    }
    std::shared_ptr<void> orphan;
    const Strand::RunEnd end = strand->Run(kStrandBudget, self->task_count, orphan);
    if (orphan || Clock::now() - run_began >= kRunTime) {
      TellRunEnded();
      told = true;
    }
    // An instance destroyed from an engine thread during its callback: its
    // destructor may wait (for operations still returning on other threads).
    orphan.reset();
    if (end != Strand::RunEnd::kMore) strand.reset();

    lock.lock();
    --running_;
    if (strand) ready_.push_back(std::move(strand));
  }
  lock.unlock();
  if (!told) TellRunEnded();
  LOG_DEBUG("delivery pool: an added thread ended after idling");
}

void DeliveryPool::MonitorMain() {
  constexpr int kStuckTicks = static_cast<int>(kStall / kTick);
  constexpr int kQuietTicks = static_cast<int>(kIdleSlice / kTick);
  int quiet_ticks = 0;  // ticks in a row with no thread running a strand
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    if (quiet_ticks >= kQuietTicks) {
      // Asleep until a thread starts a run: a steady load (a room's 20 ms
      // ticks) keeps the monitor on its ticks without waking it each time.
      monitor_asleep_ = true;
      while (monitor_asleep_) monitor_wake_.wait_for(lock, kIdleSlice);
      quiet_ticks = 0;
    }
    monitor_wake_.wait_for(lock, kTick);
    quiet_ticks = running_ == 0 ? quiet_ticks + 1 : 0;
    // A thread is held up when it has been inside one task for kStall.
    size_t stuck = 0;
    for (const auto& worker : workers_) {
      const uint64_t count = worker->task_count.load(std::memory_order_relaxed);
      if (count % 2 == 1 && count == worker->seen_count) {
        if (++worker->stuck_ticks >= kStuckTicks) ++stuck;
      } else {
        worker->seen_count = count;
        worker->stuck_ticks = 0;
      }
    }
    // Strands wait and every thread not waiting for work is held up.
    if (ready_.empty() || woken_ != 0 || stuck == 0 || stuck + idle_.size() != workers_.size())
      continue;
    if (!idle_.empty()) {
      WakeLocked();  // posted while that one was on its way to the list
      continue;
    }
    if (workers_.size() >= kMaxThreads) continue;
    SpawnLocked(false);
    const size_t threads = workers_.size();
    lock.unlock();
    LOG_INFO("delivery pool: every thread inside a callback for %lld ms or more; now %zu threads",
             static_cast<long long>(kStall.count()), threads);
    lock.lock();
  }
}

size_t DeliveryThreads() { return DeliveryPool::Get().threads(); }

void DeliveryPoolPrepareFork() { DeliveryPool::Get().mutex().lock(); }

void DeliveryPoolReleaseFork() { DeliveryPool::Get().mutex().unlock(); }

void DeliveryPoolAfterForkInChild() {
  // The parent's pool threads do not exist here; its pool is set aside
  // (never freed), with the strands of the parent's instances.
  DeliveryPool::Get().mutex().unlock();
  DeliveryPool::Current() = std::make_unique<DeliveryPool>().release();
  t_thread_kind = CORVEL_DELIVERY_THREAD_NONE;
}

}  // namespace corvel::engine

extern "C" {

void corvel_delivery_listen(const corvel_delivery_listener* listener) {
  corvel::engine::g_listener.store(listener, std::memory_order_release);
}

int corvel_delivery_thread(void) { return corvel::engine::t_thread_kind; }

}  // extern "C"

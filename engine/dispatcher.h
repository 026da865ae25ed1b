// Per-instance callback delivery: a bounded queue of tasks consumed by one
// delivery thread, the only thread that ever calls the instance's delegate.
//
// Posting never blocks on the delegate. A full queue drops media callbacks
// (frames, SEI, quality and volume reports, key frame requests) and counts
// them; every other callback (state, membership, errors, channels, messages)
// is queued past the limit, in the same FIFO, so order is kept. No lock is
// held while a task runs. Anything a delegate throws is caught
// here, logged at error level, and delivery carries on (a forced unwind from
// thread cancellation is let through).
#ifndef CORVEL_ENGINE_DISPATCHER_H_
#define CORVEL_ENGINE_DISPATCHER_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "counters.h"
#include "vora/corvel_vora_cloud.h"

namespace corvel::engine {

// Outcome of one task, for callers that wait for delivery.
class Completion {
 public:
  static constexpr int kPending = 1;
  static constexpr int kDelivered = 0;
  static constexpr int kDropped = -3;    // queue full
  static constexpr int kDiscarded = -4;  // instance destroyed before delivery
  static constexpr int kTimedOut = -5;

  void Finish(int result);
  // Waits for Finish; kTimedOut when the timeout (if any) passes first.
  int Wait(std::optional<std::chrono::milliseconds> timeout);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int result_ = kPending;
};

using DelegateCall = std::function<void(vora::VORACloudDelegate&)>;

// Whether a callback of this name may be dropped by a full queue.
bool IsMediaCallback(const char* name);

// Marks the calling thread as an engine thread (delivery, router, firehose):
// Destroy called on it never waits for another instance's callback.
void MarkEngineThread();
bool OnEngineThread();
void ForgetEngineThread();

struct Task {
  const char* name = "";  // callback name, for the log
  DelegateCall call;
  std::shared_ptr<Completion> done;  // optional
};

class Dispatcher {
 public:
  enum class PostResult { kQueued, kFull, kClosed };

  Dispatcher(vora::VORACloudDelegate* delegate, size_t capacity,
             std::shared_ptr<InstanceCounters> counters);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  void Start();
  PostResult Post(Task task);
  // Posts tasks in order, as Post would one by one, and wakes the delivery
  // thread once. `tasks` is left empty.
  PostResult PostAll(std::vector<Task>& tasks);

  bool OnDeliveryThread() const { return std::this_thread::get_id() == thread_id_; }

  // Stops delivery from any thread but the delivery thread: no new tasks are
  // accepted, queued ones are discarded, a callback in progress finishes and
  // the thread is joined. After this the delegate is never called again.
  void Stop();

  // Stops delivery from an engine thread (the delivery thread itself or
  // another), never waiting for a callback: the queue is closed and emptied.
  // With a callback in progress (always so on the delivery thread itself) the
  // thread is left to finish it, exit on its own and destroy `owner` (which
  // must own this dispatcher): answers true, `owner` taken. Otherwise no
  // callback can start any more; the idle thread is joined and false answered,
  // `owner` left to the caller.
  bool StopOnEngineThread(std::shared_ptr<void>& owner);

  // Waits until the queue is empty and no callback runs. False on timeout or
  // when delivery has stopped with tasks unfinished.
  bool WaitIdle(std::chrono::milliseconds timeout);

  size_t QueueDepth() const;
  size_t capacity() const { return capacity_; }
  vora::VORACloudDelegate* delegate() const { return delegate_; }

 private:
  static void ThreadMain(Dispatcher* self);
  void Loop();
  void Run(Task& task);
  void Dropped(Task& task, size_t depth);
  std::deque<Task> CloseLocked();

  vora::VORACloudDelegate* const delegate_;
  const size_t capacity_;
  const std::shared_ptr<InstanceCounters> counters_;

  mutable std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Task> queue_;
  bool closed_ = false;
  bool running_task_ = false;
  std::shared_ptr<void> orphan_owner_;  // set by StopOnEngineThread

  std::thread thread_;
  std::thread::id thread_id_;
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_DISPATCHER_H_

// Per-instance callback delivery on a small pool of long-lived engine
// threads, the only threads that ever call a delegate.
//
// Each instance has a strand: its bounded FIFO of tasks and the state that
// makes its tasks run in order and never two at once. A strand with work is
// on the pool's ready list once; a pool thread takes it, runs a few of its
// tasks (then puts it back at the end of the list if more are queued) and
// goes on with the next ready strand, so one thread runs the callbacks of
// many instances in one go. Only when the list is empty does it wait.
//
// Posting never blocks on the delegate. A full queue drops media callbacks
// (frames, SEI, quality and volume reports, key frame requests) and counts
// them; every other callback (state, membership, errors, channels, messages)
// is queued past the limit, in the same FIFO, so order is kept. No lock is
// held while a task runs. Anything a delegate throws is caught here, logged
// at error level, and delivery carries on (a forced unwind from thread
// cancellation is let through).
//
// A slow callback holds only its own pool thread: a monitor adds a thread
// (up to kMaxThreads) when every pool thread has been inside one task for
// kStall while strands wait; added threads end after kRetireAfter idle.
// Pool threads tell a listener (corvel_delivery.h) when a run of callbacks
// ends, so that a binding may hold its runtime's lock across the run.
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
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bounded_queue.h"
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

// A queued callback's call of the delegate: what std::function<void(
// VORACloudDelegate&)> is, with room inside for what a media callback
// carries (a user id, a frame's fields and its payload), so that queueing one
// allocates nothing: a callback is mostly made on a router thread and ends on
// a delivery thread, and memory freed on another thread than the one that
// takes it is the allocator's slow path. A larger callable goes on the heap.
class DelegateCall {
 public:
  static constexpr size_t kInline = 72;

  DelegateCall() = default;
  DelegateCall(std::nullptr_t) {}
  template <typename F,
            typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, DelegateCall> &&
                                        !std::is_same_v<std::decay_t<F>, std::nullptr_t>>>
  DelegateCall(F&& f) {
    using Stored = std::decay_t<F>;
    if constexpr (Fits<Stored>()) {
      new (storage_) Stored(std::forward<F>(f));
      ops_ = &kInlineOps<Stored>;
    } else {
      new (storage_) Boxed<Stored>(std::make_unique<Stored>(std::forward<F>(f)));
      ops_ = &kInlineOps<Boxed<Stored>>;
    }
  }
  DelegateCall(const DelegateCall& other) : ops_(other.ops_) {
    if (ops_) ops_->copy(storage_, other.storage_);
  }
  DelegateCall(DelegateCall&& other) noexcept : ops_(std::exchange(other.ops_, nullptr)) {
    if (ops_) ops_->relocate(storage_, other.storage_);
  }
  DelegateCall& operator=(const DelegateCall& other) {
    if (this != &other) *this = DelegateCall(other);
    return *this;
  }
  DelegateCall& operator=(DelegateCall&& other) noexcept {
    if (this != &other) {
      Reset();
      ops_ = std::exchange(other.ops_, nullptr);
      if (ops_) ops_->relocate(storage_, other.storage_);
    }
    return *this;
  }
  DelegateCall& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }
  ~DelegateCall() { Reset(); }

  explicit operator bool() const { return ops_ != nullptr; }
  // An empty one throws std::bad_function_call, as std::function does.
  void operator()(vora::VORACloudDelegate& delegate) const {
    if (!ops_) throw std::bad_function_call();
    ops_->invoke(const_cast<unsigned char*>(storage_), delegate);
  }

 private:
  struct Ops {
    void (*invoke)(void* self, vora::VORACloudDelegate&);
    void (*copy)(void* to, const void* from);
    void (*relocate)(void* to, void* from);  // `from` is left destroyed
    void (*destroy)(void* self);
  };

  // A callable too large for the storage, kept on the heap: one pointer inline.
  template <typename T>
  struct Boxed {
    std::unique_ptr<T> callable;
    Boxed(std::unique_ptr<T> c) : callable(std::move(c)) {}
    Boxed(const Boxed& other) : callable(std::make_unique<T>(*other.callable)) {}
    Boxed(Boxed&&) noexcept = default;
    void operator()(vora::VORACloudDelegate& d) { (*callable)(d); }
  };

  template <typename T>
  static constexpr bool Fits() {
    return sizeof(T) <= kInline && alignof(T) <= alignof(void*) &&
           std::is_nothrow_move_constructible_v<T>;
  }

  template <typename T>
  static constexpr Ops kInlineOps = {
      [](void* self, vora::VORACloudDelegate& d) { (*static_cast<T*>(self))(d); },
      [](void* to, const void* from) { new (to) T(*static_cast<const T*>(from)); },
      [](void* to, void* from) {
        new (to) T(std::move(*static_cast<T*>(from)));
        static_cast<T*>(from)->~T();
      },
      [](void* self) { static_cast<T*>(self)->~T(); },
  };
  void Reset() {
    if (const Ops* ops = std::exchange(ops_, nullptr)) ops->destroy(storage_);
  }

  alignas(void*) unsigned char storage_[kInline];
  const Ops* ops_ = nullptr;
};

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

class Strand;

// One instance's delivery: a handle on its strand.
class Dispatcher {
 public:
  enum class PostResult { kQueued, kFull, kClosed };

  Dispatcher(vora::VORACloudDelegate* delegate, size_t capacity,
             std::shared_ptr<InstanceCounters> counters);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Makes sure the pool runs.
  void Start();
  PostResult Post(Task task);
  // Posts tasks in order, as Post would one by one, with one wake-up.
  // `tasks` is left empty.
  PostResult PostAll(std::vector<Task>& tasks);

  // Whether the calling thread is running one of this instance's tasks.
  bool OnDeliveryThread() const;

  // Stops delivery from a thread that is not an engine thread: no new tasks
  // are accepted, queued ones are discarded, a callback in progress
  // finishes. After this the delegate is never called again.
  void Stop();

  // Stops delivery from an engine thread (a pool thread inside one of this
  // instance's callbacks or another's, a router thread), never waiting for a
  // callback: the queue is closed and emptied. With a callback in progress
  // (always so inside one of its own) the pool thread running it destroys
  // `owner` (which must own this dispatcher) once it returns: answers true,
  // `owner` taken. Otherwise no callback can start any more: false, `owner`
  // left to the caller.
  bool StopOnEngineThread(std::shared_ptr<void>& owner);

  // Waits until the queue is empty and no callback runs. False on timeout or
  // when delivery has stopped with tasks unfinished.
  bool WaitIdle(std::chrono::milliseconds timeout);

  size_t QueueDepth() const;
  size_t capacity() const;
  vora::VORACloudDelegate* delegate() const { return delegate_; }

 private:
  vora::VORACloudDelegate* const delegate_;
  const std::shared_ptr<Strand> strand_;  // shared with the pool while it runs it
};

// The pool's figures, for the hook.
size_t DeliveryThreads();

// Around fork() (fork.cpp): the pool's lock is taken before and let go
// after; a forked child starts with a new, empty pool.
void DeliveryPoolPrepareFork();
void DeliveryPoolReleaseFork();
void DeliveryPoolAfterForkInChild();

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_DISPATCHER_H_

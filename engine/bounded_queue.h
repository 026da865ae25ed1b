// The engine's one bounded FIFO: callback queues, the room inbox, pull
// buffers and mixer inputs are all this template.
//
// A queue has a limit and counts what it drops. Three ways in, one per policy
// the engine needs:
//   TryPush        refuses when full (the item stays with the caller, counted)
//   Push           queues past the limit: items that must never be lost
//   PushDropOldest makes room by dropping the oldest item (counted)
// Every way in refuses once the queue is closed. Consumers pop one item or
// take everything at once; waits are always bounded by a deadline. Items are
// moved, never copied. The queue's own mutex is a leaf: no other lock is
// taken while it is held, and no item is destroyed under it.
#ifndef CORVEL_ENGINE_BOUNDED_QUEUE_H_
#define CORVEL_ENGINE_BOUNDED_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace corvel::engine {

enum class QueueResult { kQueued, kFull, kClosed };

template <typename T>
class BoundedQueue {
 public:
  using Clock = std::chrono::steady_clock;

  explicit BoundedQueue(size_t limit) : limit_(limit == 0 ? 1 : limit) {}
  BoundedQueue(const BoundedQueue&) = delete;
  BoundedQueue& operator=(const BoundedQueue&) = delete;

  // Queues `item` (moved from) unless the queue is full or closed; a full
  // queue counts a drop and leaves `item` as it was.
  QueueResult TryPush(T& item) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return QueueResult::kClosed;
      if (items_.size() >= limit_) {
        ++dropped_;
        return QueueResult::kFull;
      }
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
    return QueueResult::kQueued;
  }

  // Queues `item` even past the limit.
  QueueResult Push(T item) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return QueueResult::kClosed;
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
    return QueueResult::kQueued;
  }

  // Queues `item`, dropping the oldest items to stay within the limit (each
  // counted): answers kFull when one was dropped. The dropped items are
  // destroyed after the lock is let go.
  QueueResult PushDropOldest(T item) {
    std::optional<T> oldest;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return QueueResult::kClosed;
      if (items_.size() >= limit_) {
        oldest.emplace(std::move(items_.front()));
        items_.pop_front();
        ++dropped_;
      }
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
    return oldest ? QueueResult::kFull : QueueResult::kQueued;
  }

  // Queues every item of `items` in order under one lock, with one wake-up:
  // those for which `droppable(item)` is true as TryPush would (refused when
  // full), the others as Push would. The refused items end up, in order, at
  // the front of `items`, which keeps only them. kClosed leaves `items` as it
  // was; otherwise kFull when one was refused.
  template <typename Droppable>
  QueueResult PushAll(std::vector<T>& items, Droppable droppable) {
    size_t refused = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return QueueResult::kClosed;
      for (T& item : items) {
        if (items_.size() < limit_ || !droppable(item)) {
          items_.push_back(std::move(item));
        } else {
          ++dropped_;
          if (&items[refused] != &item) items[refused] = std::move(item);
          ++refused;
        }
      }
    }
    const bool queued = refused < items.size();
    items.resize(refused);
    if (queued) ready_.notify_one();
    return refused == 0 ? QueueResult::kQueued : QueueResult::kFull;
  }

  std::optional<T> TryPop() {
    std::lock_guard<std::mutex> lock(mu_);
    return PopLocked();
  }

  // Calls `visit` with the oldest item, left queued; false when empty. It runs
  // under the queue's mutex: it must be short and take no lock.
  template <typename Visit>
  bool PeekFront(Visit&& visit) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (items_.empty()) return false;
    visit(static_cast<const T&>(items_.front()));
    return true;
  }

  // Waits until an item is there, the queue is closed, Wake() is called or
  // `deadline` passes; answers the oldest item, if any.
  std::optional<T> PopUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mu_);
    WaitLocked(lock, deadline);
    return PopLocked();
  }

  // Moves every queued item to the back of `out`; answers how many.
  size_t TakeAll(std::deque<T>& out) {
    std::lock_guard<std::mutex> lock(mu_);
    return TakeAllLocked(out);
  }

  // TakeAll after waiting as PopUntil does.
  size_t TakeAllUntil(std::deque<T>& out, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mu_);
    WaitLocked(lock, deadline);
    return TakeAllLocked(out);
  }

  // Ends a wait in progress (or the next one) without an item.
  void Wake() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      woken_ = true;
    }
    ready_.notify_all();
  }

  // Refuses every later push and answers what was still queued, for the
  // caller to discard outside the lock.
  std::deque<T> Close() {
    std::deque<T> rest;
    {
      std::lock_guard<std::mutex> lock(mu_);
      closed_ = true;
      rest.swap(items_);
    }
    ready_.notify_all();
    return rest;
  }

  void Clear() {
    std::deque<T> rest;
    std::lock_guard<std::mutex> lock(mu_);
    rest.swap(items_);
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return items_.size();
  }
  bool empty() const { return size() == 0; }
  bool closed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_;
  }
  uint64_t dropped() const {
    std::lock_guard<std::mutex> lock(mu_);
    return dropped_;
  }
  size_t limit() const { return limit_; }

 private:
  void WaitLocked(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
    ready_.wait_until(lock, deadline, [&] { return !items_.empty() || closed_ || woken_; });
    woken_ = false;
  }

  std::optional<T> PopLocked() {
    if (items_.empty()) return std::nullopt;
    std::optional<T> item(std::move(items_.front()));
    items_.pop_front();
    return item;
  }

  size_t TakeAllLocked(std::deque<T>& out) {
    const size_t n = items_.size();
    if (out.empty()) {
      out.swap(items_);
    } else {
      for (T& item : items_) out.push_back(std::move(item));
      items_.clear();
    }
    return n;
  }

  const size_t limit_;
  mutable std::mutex mu_;
  std::condition_variable ready_;
  std::deque<T> items_;
  uint64_t dropped_ = 0;
  bool closed_ = false;
  bool woken_ = false;
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_BOUNDED_QUEUE_H_

// Storage for process-wide engine objects that must outlive every engine
// thread. The object is built on first use and never destroyed, so a delivery
// thread that is still running while the process exits can keep logging
// without touching a destroyed object.
#ifndef CORVEL_ENGINE_NO_DESTROY_H_
#define CORVEL_ENGINE_NO_DESTROY_H_

#include <new>
#include <utility>

namespace corvel::engine {

template <typename T>
class NoDestroy {
 public:
  template <typename... Args>
  explicit NoDestroy(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestroy(const NoDestroy&) = delete;
  NoDestroy& operator=(const NoDestroy&) = delete;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_NO_DESTROY_H_

#include "fork.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "audio_dsp.h"
#include "dispatcher.h"
#include "log.h"
#include "registry.h"
#include "room.h"
#include "settings.h"
#include "status.h"

namespace corvel::engine {
namespace {

std::atomic<uint64_t> g_generation{0};

// Taken in the engine's lock order (registry -> rooms -> leaf locks).
void Prepare() {
  Registry::Get().ForkMutex().lock();
  LoopbackBackend::Get().ForkMutex().lock();
  SettingsMutex().lock();
  RefusalLogMutex().lock();
  Resampler::CacheMutex().lock();
  Logger::Instance().ForkMutex().lock();
  DeliveryPoolPrepareFork();
}

void ReleaseExceptPool() {
  Logger::Instance().ForkMutex().unlock();
  Resampler::CacheMutex().unlock();
  RefusalLogMutex().unlock();
  SettingsMutex().unlock();
  LoopbackBackend::Get().ForkMutex().unlock();
  Registry::Get().ForkMutex().unlock();
}

void Release() {
  DeliveryPoolReleaseFork();
  ReleaseExceptPool();
}

void Child() {
  // The thread that called fork() holds every lock taken in Prepare: the
  // tables are consistent and can be reset before anyone else looks.
  g_generation.fetch_add(1, std::memory_order_acq_rel);
  ForgetEngineThread();  // fork() may have been called from inside a callback
  Registry::Get().AbandonAfterFork();
  LoopbackBackend::Get().AbandonAfterFork();
  DeliveryPoolAfterForkInChild();  // lets the pool's lock go
  ReleaseExceptPool();
}

const bool g_installed = [] { return pthread_atfork(Prepare, Release, Child) == 0; }();

}  // namespace

uint64_t ForkGeneration() {
  (void)g_installed;
  return g_generation.load(std::memory_order_acquire);
}

}  // namespace corvel::engine

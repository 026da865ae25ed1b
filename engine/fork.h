// fork() with engine threads running.
//
// The child of a fork has only the thread that called fork(). The engine's
// process-wide locks are taken around fork() (pthread_atfork) so the child
// inherits them in a consistent state, and the child then starts afresh: the
// instance table and the room table are emptied, and everything that belonged
// to the parent's threads (instances, rooms, their queues and counters) is
// abandoned, never freed or joined. A parent instance seen in the child is
// inert: its operations answer an error, Destroy on it returns at once.
#ifndef CORVEL_ENGINE_FORK_H_
#define CORVEL_ENGINE_FORK_H_

#include <cstdint>

namespace corvel::engine {

// Incremented in each forked child; an object made under another generation
// belongs to a parent process.
uint64_t ForkGeneration();

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_FORK_H_

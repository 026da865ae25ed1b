/* Callback delivery seen from the delegate's side: plain C, exported by
 * libcorvel.so. Optional: an engine without these functions delivers all the
 * same, and a binding looks them up weakly.
 *
 * Callbacks run on a small pool of delivery threads (engine/README.md,
 * "Threading"). A pool thread runs the callbacks of several instances one
 * after the other, a run of them, before it waits for more work. A binding
 * to a runtime with one global lock (CPython's interpreter lock) may keep
 * that lock from one callback of a run to the next and let it go when the
 * run ends; between two callbacks of a run the thread takes no lock but the
 * engine's own short ones, and it waits for nothing.
 *
 *   corvel_delivery_listen(listener)  installs `listener` (null removes it);
 *                                     it and its context must stay valid
 *                                     until the process ends.
 *   corvel_delivery_thread()          what the calling thread is, one of
 *                                     CORVEL_DELIVERY_THREAD_*.
 */
#ifndef CORVEL_DELIVERY_H_
#define CORVEL_DELIVERY_H_

#if defined(CORVEL_BUILDING_LIBRARY)
#define CORVEL_DELIVERY_API __attribute__((visibility("default")))
#else
#define CORVEL_DELIVERY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Not a delivery thread of this engine. */
#define CORVEL_DELIVERY_THREAD_NONE 0
/* A pool thread that lives as long as the process (in a forked child, as
 * long as the child). */
#define CORVEL_DELIVERY_THREAD_LONG_LIVED 1
/* A pool thread added while the others were held up by slow callbacks; it
 * ends once idle for a while, and calls run_ended before it does. */
#define CORVEL_DELIVERY_THREAD_TEMPORARY 2

struct corvel_delivery_listener {
  void* context;
  /* On a delivery thread that has run callbacks since the last call: before
   * it waits for work, before it does anything that may wait (such as
   * freeing an instance destroyed during the run), and after a run of about
   * 10 ms (twice CPython's switch interval: a thread that waited that long for
   * the lock has asked for it and gets it once the run lets it go). No engine lock is held. */
  void (*run_ended)(void* context);
};

CORVEL_DELIVERY_API void corvel_delivery_listen(const struct corvel_delivery_listener* listener);
CORVEL_DELIVERY_API int corvel_delivery_thread(void);

#ifdef __cplusplus
}
#endif

#endif /* CORVEL_DELIVERY_H_ */

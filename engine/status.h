// Why an operation was refused, for the thread that called it.
//
// Every engine operation starts with BeginOperation(), which forgets the
// calling thread's last reason; an operation that refuses (any result but
// ERR_OK, false from a bool operation or a settings function) calls Refuse()
// with its reason, which is kept for that thread (corvel_last_refusal) and
// logged at warning level. Repeats of the same reason are counted and logged
// as summary lines (at the 10th, 100th, 1000th... repeat) rather than once
// each.
#ifndef CORVEL_ENGINE_STATUS_H_
#define CORVEL_ENGINE_STATUS_H_

#include <cstdint>
#include <mutex>

namespace corvel::engine {

void BeginOperation();
// printf-style reason, e.g. "SendCustomCmdMsg refused: cmd_id 11 outside 1..10";
// `instance` (0: none) only prefixes the log line.
void Refuse(uint64_t instance, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Keeps a reason without logging it, for an expected outcome that is not
// success (nothing to read yet).
void NoteRefusal(const char* text);
// The calling thread's reason; "" when its last operation succeeded.
const char* LastRefusal();

// Guards the repeat counts of logged reasons (taken around fork()).
std::mutex& RefusalLogMutex();

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_STATUS_H_

// The 25 delegate callbacks by slot number (1..25, in the order the delegate
// interface declares them), and the construction of callback tasks from
// inspection arguments.
#ifndef CORVEL_ENGINE_CALLBACKS_H_
#define CORVEL_ENGINE_CALLBACKS_H_

#include <optional>
#include <string>

#include "dispatcher.h"
#include "json.h"

namespace corvel::engine {

inline constexpr int kCallbackSlots = 25;

// Native callback name of a slot ("OnRemoteVideoReceived" for both 15 and 16);
// null outside 1..25.
const char* CallbackName(int slot);

// Builds the delegate call of `slot` from a JSON object of arguments. Byte
// arguments are hex texts under keys ending in "_hex" (null for a null
// pointer); missing keys take neutral defaults; unknown keys, out-of-range
// numbers and message lengths beyond the bytes supplied are refused with a
// reason in *error.
std::optional<DelegateCall> BuildInjectedCall(int slot, const JsonValue& args, std::string* error);

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_CALLBACKS_H_

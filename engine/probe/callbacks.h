// The 25 delegate callbacks by slot number (1..25, in the order the delegate
// interface declares them), and the construction of delegate calls from
// inspection arguments.
#ifndef CORVEL_PROBE_CALLBACKS_H_
#define CORVEL_PROBE_CALLBACKS_H_

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "vora/corvel_vora_cloud.h"

namespace corvel::probe {

using DelegateCall = std::function<void(vora::VORACloudDelegate&)>;

inline constexpr int kCallbackSlots = 25;

// Native callback name of a slot ("OnRemoteVideoReceived" for both 15 and 16);
// null outside 1..25.
const char* CallbackName(int slot);

// Builds the delegate call of `slot` from a JSON object of arguments. Byte
// arguments are hex texts under keys ending in "_hex" (null for a null
// pointer); missing keys take neutral defaults; unknown keys, out-of-range
// numbers and message lengths beyond the bytes supplied are refused with a
// reason in *error.
std::optional<DelegateCall> BuildInjectedCall(int slot, const nlohmann::json& args,
                                              std::string* error);

}  // namespace corvel::probe

#endif  // CORVEL_PROBE_CALLBACKS_H_

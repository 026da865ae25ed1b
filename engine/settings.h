// Process-wide settings behind corvel::live::OrbLiveSDK: the log sink
// configuration (held by the Logger), the SOCKS5 proxy, the environment and
// the web-client factory. Each settings call is reported to the hook's
// observer, if one is installed (corvel_hook.h).
#ifndef CORVEL_ENGINE_SETTINGS_H_
#define CORVEL_ENGINE_SETTINGS_H_

#include <mutex>
#include <string>
#include <string_view>

#include "corvel_hook.h"

namespace corvel::engine {

// Proxy host: an IPv4 or IPv6 literal, or a host name of RFC 1123 labels
// (1..63 letters, digits or hyphens, no hyphen at either end, at most 253
// characters in all, last label not all digits).
bool IsValidProxyHost(const char* host);

// "production", "staging", "test" or "loopback", exactly.
bool IsKnownEnvironment(const char* name);

// The current environment name ("production" until changed).
std::string CurrentEnvironment();

// Calls visit with the current settings (corvel_hook.h), no lock held.
void VisitSettings(void (*visit)(void*, const corvel_settings*), void* context);

// Restores every setting to its default.
void ResetSettings();

// Guards the settings (taken around fork()).
std::mutex& SettingsMutex();

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_SETTINGS_H_

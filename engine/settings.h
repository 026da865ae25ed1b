// Process-wide settings behind corvel::live::OrbLiveSDK: the log sink
// configuration (held by the Logger), the SOCKS5 proxy, the environment and
// the web-client factory, plus a record of the raw arguments each settings
// function last received, for inspection.
#ifndef CORVEL_ENGINE_SETTINGS_H_
#define CORVEL_ENGINE_SETTINGS_H_

#include <mutex>
#include <string>
#include <string_view>

namespace corvel::engine {

// Proxy host: an IPv4 or IPv6 literal, or a host name of RFC 1123 labels
// (1..63 letters, digits or hyphens, no hyphen at either end, at most 253
// characters in all, last label not all digits).
bool IsValidProxyHost(const char* host);

// "production", "staging", "test" or "loopback", exactly.
bool IsKnownEnvironment(const char* name);

// The current environment name ("production" until changed).
std::string CurrentEnvironment();

// Settings and last-call records as one JSON object (see corvel_probe.h).
std::string SettingsJson();

// Restores every setting to its default and forgets the last-call records.
void ResetSettings();

// Guards the settings (taken around fork()).
std::mutex& SettingsMutex();

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_SETTINGS_H_

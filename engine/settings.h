// Process-wide settings behind corvel::live::OrbLiveSDK: the log sink
// configuration (held by the Logger), the SOCKS5 proxy, the environment and
// the web-client factory. Each settings call is reported to the hook's
// observer, if one is installed (corvel_hook.h).
#ifndef CORVEL_ENGINE_SETTINGS_H_
#define CORVEL_ENGINE_SETTINGS_H_

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "corvel_hook.h"

namespace corvel::engine {

// Proxy host: an IPv4 or IPv6 literal, or a host name of RFC 1123 labels
// (1..63 letters, digits or hyphens, no hyphen at either end, at most 253
// characters in all, last label not all digits).
bool IsValidProxyHost(const char* host);

// "production", "staging", "test" or "loopback", exactly, or a Janus server
// "janus+http://HOST:PORT/PATH" (see JanusUrl).
bool IsKnownEnvironment(const char* name);

// The Janus HTTP API URL ("http://HOST:PORT/PATH") an environment
// "janus+http://HOST:PORT/PATH" names: HOST an IPv4 literal, a bracketed
// IPv6 literal or a host name (as for the proxy), PORT 1..65535, PATH
// non-empty, printable, without query or fragment. nullopt for anything else.
std::optional<std::string> JanusUrl(std::string_view env);
// JanusUrl(CurrentEnvironment()): set when rooms live on a Janus server.
std::optional<std::string> CurrentJanusUrl();

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

#include "settings.h"

#include <arpa/inet.h>

#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "corvel_premier.h"
#include "hook.h"
#include "log.h"
#include "no_destroy.h"
#include "status.h"

namespace corvel::engine {
namespace {

constexpr const char* kDefaultEnvironment = "production";
constexpr const char* kEnvironments[] = {"production", "staging", "test", "loopback"};

struct Proxy {
  std::string host;
  uint16_t port = 0;
  std::optional<std::string> username;  // absent when no credentials
  std::optional<std::string> password;
};

struct Store {
  std::mutex mu;
  std::optional<Proxy> proxy;
  std::string environment = kDefaultEnvironment;
  live::WebClientFactory* factory = nullptr;

  static Store& Get() {
    static NoDestroy<Store> store;
    return store.get();
  }
};

bool Empty(const char* text) { return !text || !*text; }

bool IsHostLabelChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool IsValidHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  std::string_view last_label;
  size_t start = 0;
  while (true) {
    size_t dot = name.find('.', start);
    std::string_view label = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (label.empty() || label.size() > 63) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    for (char c : label) {
      if (!IsHostLabelChar(c)) return false;
    }
    last_label = label;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  // A name ending in an all-digit label would read as a malformed address.
  for (char c : last_label) {
    if (c < '0' || c > '9') return true;
  }
  return false;
}

// Tells the hook's observer, if any, about a settings call.
void Report(const char* function, const char* text0 = nullptr, const char* text1 = nullptr,
            const char* text2 = nullptr, int64_t number = 0, int has_result = 0, int result = 0) {
  if (const corvel_observer* o = Observer())
    ReportSetting(o, function, text0, text1, text2, number, has_result, result);
}

}  // namespace

bool IsValidProxyHost(const char* host) {
  if (Empty(host)) return false;
  unsigned char address[16];
  if (inet_pton(AF_INET, host, address) == 1) return true;
  if (inet_pton(AF_INET6, host, address) == 1) return true;
  return IsValidHostName(host);
}

std::optional<std::string> JanusUrl(std::string_view env) {
  constexpr std::string_view kScheme = "janus+http://";
  if (env.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  const std::string_view rest = env.substr(kScheme.size());
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos || slash + 1 >= rest.size()) return std::nullopt;
  const std::string_view authority = rest.substr(0, slash);
  const std::string_view path = rest.substr(slash);
  const size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string host(authority.substr(0, colon));
  const std::string_view port = authority.substr(colon + 1);
  if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (!IsValidProxyHost(host.c_str())) return std::nullopt;
  if (port.empty() || port.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  for (char c : path) {
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f || c == '?' ||
        c == '#')
      return std::nullopt;
  }
  return "http://" + std::string(rest);
}

bool IsKnownEnvironment(const char* name) {
  if (!name) return false;
  for (const char* known : kEnvironments) {
    if (std::strcmp(name, known) == 0) return true;
  }
  return JanusUrl(name).has_value();
}

std::optional<std::string> CurrentJanusUrl() { return JanusUrl(CurrentEnvironment()); }

std::string CurrentEnvironment() {
  Store& s = Store::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.environment;
}

void VisitSettings(void (*visit)(void*, const corvel_settings*), void* context) {
  const Logger::State log = Logger::Instance().Snapshot();
  Store& s = Store::Get();
  std::unique_lock<std::mutex> lock(s.mu);
  // Copied so that the visitor runs without the settings lock.
  const std::optional<Proxy> proxy = s.proxy;
  const std::string environment = s.environment;
  corvel_settings out{};
  out.web_client_factory = reinterpret_cast<uintptr_t>(s.factory);
  lock.unlock();
  if (log.directory) {
    out.log_directory = log.directory->data();
    out.log_directory_size = log.directory->size();
  }
  out.log_file_open = log.file_open;
  out.log_level = log.level;
  out.log_console = log.console;
  out.log_file_disabled = log.file_disabled;
  out.log_compress_disabled = log.compress_disabled;
  out.log_rotate_bytes = log.rotate_bytes;
  out.log_file_bytes = log.file_bytes;
  out.log_rotations = log.rotations;
  if (proxy) {
    out.has_proxy = 1;
    out.proxy_host = proxy->host.data();
    out.proxy_host_size = proxy->host.size();
    out.proxy_port = proxy->port;
    out.proxy_username = proxy->username ? proxy->username->c_str() : nullptr;
    out.proxy_password = proxy->password ? proxy->password->c_str() : nullptr;
  }
  out.environment = environment.c_str();
  visit(context, &out);
}

std::mutex& SettingsMutex() { return Store::Get().mu; }

void ResetSettings() {
  Logger::Instance().Reset();
  Store& s = Store::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  s.proxy.reset();
  s.environment = kDefaultEnvironment;
  s.factory = nullptr;
}

}  // namespace corvel::engine

namespace corvel::live {

using engine::Logger;
using engine::Report;
using engine::Store;

OrbLiveSDK::~OrbLiveSDK() = default;

bool OrbLiveSDK::SetLogPath(const char* path) {
  engine::BeginOperation();
  const char* why = "";
  const bool ok = Logger::Instance().SetDirectory(path, &why);
  Report("SetLogPath", path, nullptr, nullptr, 0, 1, ok);
  if (ok) {
    LOG_INFO("log directory set to %s", engine::LogText(path).c_str());
  } else {
    engine::Refuse(0, "SetLogPath refused: %s: %s", engine::LogText(path).c_str(), why);
  }
  return ok;
}

void OrbLiveSDK::SetLogLevel(int level) {
  engine::BeginOperation();
  Logger::Instance().SetLevel(level);
  Report("SetLogLevel", nullptr, nullptr, nullptr, level);
  LOG_INFO("log level set to %d (asked %d)", Logger::ClampLevel(level), level);
}

void OrbLiveSDK::EnableConsoleLog() {
  engine::BeginOperation();
  Logger::Instance().SetConsole(true);
  Report("EnableConsoleLog");
  LOG_DEBUG("console log enabled");
}

void OrbLiveSDK::DisableConsoleLog() {
  engine::BeginOperation();
  LOG_DEBUG("console log disabled");
  Logger::Instance().SetConsole(false);
  Report("DisableConsoleLog");
}

void OrbLiveSDK::DisableLogCompress(bool disabled) {
  engine::BeginOperation();
  Logger::Instance().SetCompressDisabled(disabled);
  Report("DisableLogCompress", nullptr, nullptr, nullptr, disabled);
  LOG_INFO("rotated log compression %s", disabled ? "off" : "on");
}

void OrbLiveSDK::DisableLogFile(bool disabled) {
  engine::BeginOperation();
  if (disabled) LOG_INFO("log file off");
  Logger::Instance().SetFileDisabled(disabled);
  Report("DisableLogFile", nullptr, nullptr, nullptr, disabled);
  if (!disabled) LOG_INFO("log file on");
}

bool OrbLiveSDK::SetSocks5Proxy(const char* ip, unsigned short port, const char* username,
                                const char* password) {
  const bool has_user = !engine::Empty(username);
  const bool has_password = !engine::Empty(password);
  engine::BeginOperation();
  const bool ok = engine::IsValidProxyHost(ip) && port != 0 && has_user == has_password;
  Store& s = Store::Get();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (ok) {
      engine::Proxy proxy;
      proxy.host = ip;
      proxy.port = port;
      if (has_user) {
        proxy.username = username;
        proxy.password = password;
      }
      s.proxy = std::move(proxy);
    }
  }
  Report("SetSocks5Proxy", ip, username, password, port, 1, ok);
  if (ok) {
    LOG_INFO("SOCKS5 proxy set to %s:%u%s", engine::LogText(ip).c_str(), port,
             has_user ? " with credentials" : "");
  } else {
    engine::Refuse(0, "SetSocks5Proxy refused: %s",
                   !engine::IsValidProxyHost(ip)
                       ? "ip is not an IPv4/IPv6 address or a valid host name"
                   : port == 0 ? "port 0"
                               : "user name and password must be given together");
  }
  return ok;
}

bool OrbLiveSDK::SetEnvironment(const char* env) {
  engine::BeginOperation();
  const bool ok = engine::IsKnownEnvironment(env);
  Store& s = Store::Get();
  if (ok) {
    std::lock_guard<std::mutex> lock(s.mu);
    s.environment = env;
  }
  Report("SetEnvironment", env, nullptr, nullptr, 0, 1, ok);
  if (ok) {
    LOG_INFO("environment set to %s", env);
  } else {
    engine::Refuse(0,
                   "SetEnvironment refused: %s is not production, staging, test or loopback, "
                   "nor janus+http://HOST:PORT/PATH",
                   engine::LogText(env).c_str());
  }
  return ok;
}

void OrbLiveSDK::SetWebClientFactory(WebClientFactory* factory) {
  engine::BeginOperation();
  Store& s = Store::Get();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.factory = factory;
  }
  Report("SetWebClientFactory", nullptr, nullptr, nullptr,
         static_cast<int64_t>(reinterpret_cast<uintptr_t>(factory)));
  LOG_INFO("web client factory %s", factory ? "installed" : "removed");
}

}  // namespace corvel::live

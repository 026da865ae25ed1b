#include "settings.h"

#include <arpa/inet.h>

#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "corvel_premier.h"
#include "json.h"
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
  std::map<std::string, std::string> last_calls;  // function -> JSON object of its arguments
  std::map<std::string, uint64_t> call_counts;

  static Store& Get() {
    static NoDestroy<Store> store;
    return store.get();
  }

  void Record(const char* function, std::string arguments_json) {
    std::lock_guard<std::mutex> lock(mu);
    last_calls[function] = std::move(arguments_json);
    ++call_counts[function];
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

std::string Arguments(const std::function<void(JsonWriter&)>& fill) {
  JsonWriter w;
  w.BeginObject();
  fill(w);
  w.EndObject();
  return w.Take();
}

}  // namespace

bool IsValidProxyHost(const char* host) {
  if (Empty(host)) return false;
  unsigned char address[16];
  if (inet_pton(AF_INET, host, address) == 1) return true;
  if (inet_pton(AF_INET6, host, address) == 1) return true;
  return IsValidHostName(host);
}

bool IsKnownEnvironment(const char* name) {
  if (!name) return false;
  for (const char* known : kEnvironments) {
    if (std::strcmp(name, known) == 0) return true;
  }
  return false;
}

std::string CurrentEnvironment() {
  Store& s = Store::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.environment;
}

std::string SettingsJson() {
  const Logger::State log = Logger::Instance().Snapshot();
  Store& s = Store::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  JsonWriter w;
  w.BeginObject();
  w.Key("log").BeginObject();
  w.Key("directory_hex");
  if (log.directory) {
    w.Hex(log.directory->data(), log.directory->size());
  } else {
    w.Null();
  }
  w.Key("file_open").Bool(log.file_open);
  w.Key("level").Int(log.level);
  w.Key("console").Bool(log.console);
  w.Key("file_disabled").Bool(log.file_disabled);
  w.Key("compress_disabled").Bool(log.compress_disabled);
  w.Key("rotate_bytes").Uint(log.rotate_bytes);
  w.Key("file_bytes").Uint(log.file_bytes);
  w.Key("rotations").Uint(log.rotations);
  w.EndObject();
  w.Key("proxy");
  if (s.proxy) {
    w.BeginObject();
    w.Key("ip_hex").Hex(s.proxy->host.data(), s.proxy->host.size());
    w.Key("port").Uint(s.proxy->port);
    w.Key("username_hex").CText(s.proxy->username ? s.proxy->username->c_str() : nullptr);
    w.Key("password_hex").CText(s.proxy->password ? s.proxy->password->c_str() : nullptr);
    w.EndObject();
  } else {
    w.Null();
  }
  w.Key("environment").String(s.environment);
  w.Key("web_client_factory").Uint(reinterpret_cast<uintptr_t>(s.factory));
  w.Key("last_calls").BeginObject();
  for (const auto& [function, arguments] : s.last_calls) w.Key(function).Raw(arguments);
  w.EndObject();
  w.Key("call_counts").BeginObject();
  for (const auto& [function, count] : s.call_counts) w.Key(function).Uint(count);
  w.EndObject();
  w.EndObject();
  return w.Take();
}

std::mutex& SettingsMutex() { return Store::Get().mu; }

void ResetSettings() {
  Logger::Instance().Reset();
  Store& s = Store::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  s.proxy.reset();
  s.environment = kDefaultEnvironment;
  s.factory = nullptr;
  s.last_calls.clear();
  s.call_counts.clear();
}

}  // namespace corvel::engine

namespace corvel::live {

using engine::Arguments;
using engine::JsonWriter;
using engine::Logger;
using engine::Store;

OrbLiveSDK::~OrbLiveSDK() = default;

bool OrbLiveSDK::SetLogPath(const char* path) {
  engine::BeginOperation();
  const char* why = "";
  const bool ok = Logger::Instance().SetDirectory(path, &why);
  Store::Get().Record("SetLogPath", Arguments([&](JsonWriter& w) {
                        w.Key("path_hex").CText(path);
                        w.Key("result").Bool(ok);
                      }));
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
  Store::Get().Record("SetLogLevel", Arguments([&](JsonWriter& w) { w.Key("level").Int(level); }));
  LOG_INFO("log level set to %d (asked %d)", Logger::ClampLevel(level), level);
}

void OrbLiveSDK::EnableConsoleLog() {
  engine::BeginOperation();
  Logger::Instance().SetConsole(true);
  Store::Get().Record("EnableConsoleLog", "{}");
  LOG_DEBUG("console log enabled");
}

void OrbLiveSDK::DisableConsoleLog() {
  engine::BeginOperation();
  LOG_DEBUG("console log disabled");
  Logger::Instance().SetConsole(false);
  Store::Get().Record("DisableConsoleLog", "{}");
}

void OrbLiveSDK::DisableLogCompress(bool disabled) {
  engine::BeginOperation();
  Logger::Instance().SetCompressDisabled(disabled);
  Store::Get().Record("DisableLogCompress",
                      Arguments([&](JsonWriter& w) { w.Key("disabled").Bool(disabled); }));
  LOG_INFO("rotated log compression %s", disabled ? "off" : "on");
}

void OrbLiveSDK::DisableLogFile(bool disabled) {
  engine::BeginOperation();
  if (disabled) LOG_INFO("log file off");
  Logger::Instance().SetFileDisabled(disabled);
  Store::Get().Record("DisableLogFile",
                      Arguments([&](JsonWriter& w) { w.Key("disabled").Bool(disabled); }));
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
  s.Record("SetSocks5Proxy", Arguments([&](JsonWriter& w) {
             w.Key("ip_hex").CText(ip);
             w.Key("port").Uint(port);
             w.Key("username_hex").CText(username);
             w.Key("password_hex").CText(password);
             w.Key("result").Bool(ok);
           }));
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
  s.Record("SetEnvironment", Arguments([&](JsonWriter& w) {
             w.Key("env_hex").CText(env);
             w.Key("result").Bool(ok);
           }));
  if (ok) {
    LOG_INFO("environment set to %s", env);
  } else {
    engine::Refuse(0, "SetEnvironment refused: %s is not production, staging, test or loopback",
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
  s.Record("SetWebClientFactory", Arguments([&](JsonWriter& w) {
             w.Key("factory").Uint(reinterpret_cast<uintptr_t>(factory));
           }));
  LOG_INFO("web client factory %s", factory ? "installed" : "removed");
}

}  // namespace corvel::live

// Process-wide settings of the engine: logging, SOCKS5 proxy, environment.
#ifndef CORVEL_PREMIER_H_
#define CORVEL_PREMIER_H_

#include "vora/corvel_vora_defines.h"

namespace corvel {
namespace live {

// Supplies the HTTP client the engine uses for its service requests. An
// application that must route those requests through its own stack installs
// one with OrbLiveSDK::SetWebClientFactory before the first engine instance.
class WebClientFactory {
 public:
  virtual ~WebClientFactory() {}
};

class CORVEL_API OrbLiveSDK {
 public:
  // Directory for the engine log; false when it is not a writable directory.
  static bool SetLogPath(const char* path);
  // Lines below this level are dropped (0 verbose ... 5 fatal, 6 off).
  static void SetLogLevel(int level);
  static void EnableConsoleLog();
  static void DisableConsoleLog();
  static void DisableLogCompress(bool disabled);
  static void DisableLogFile(bool disabled);
  static bool SetSocks5Proxy(const char* ip, unsigned short port, const char* username,
                             const char* password);
  static bool SetEnvironment(const char* env);
  static void SetWebClientFactory(WebClientFactory* factory);

 protected:
  virtual ~OrbLiveSDK();
};

}  // namespace live
}  // namespace corvel

#endif  // CORVEL_PREMIER_H_

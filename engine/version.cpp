// The loopback engine's version, for tools that report which engine a
// program runs on. Not part of the engine interface: a production engine need
// not export it, and callers look it up dynamically.
#define CORVEL_LOOPBACK_VERSION "0.1.0-loopback"

extern "C" __attribute__((visibility("default"))) const char* corvel_engine_version(void) {
  return CORVEL_LOOPBACK_VERSION;
}

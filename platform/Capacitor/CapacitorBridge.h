#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Foundation/NotificationCenter.h"

namespace platform {

// The native side of the hybrid framework's page script (its native
// bridge): calls {"callbackId", "pluginId", "methodName", "options"} in,
// results out as `window.Capacitor.fromNative({...})` scripts through the
// sink. It serves the framework's App plugin: listeners ("addListener",
// "removeListener", "removeAllListeners") for "appUrlOpen" (URL opens and
// continued web activities, from ApplicationDelegateProxy) and
// "appStateChange" (the application's active state), and "getLaunchUrl",
// "getState" and "getInfo". An "appUrlOpen" that no listener hears yet is
// kept and given to the first one, so a URL opened at a cold start reaches
// the page once it listens, once; of URLs opened before anyone listens, the
// newest kMaxRetained are kept. Other plugins and methods are refused with
// an error result.
//
// Threads: main thread only; notifications are expected there.
class CapacitorBridge {
 public:
  using ScriptSink = std::function<void(const std::string& script)>;
  static constexpr std::size_t kMaxRetained = 8;

  explicit CapacitorBridge(ScriptSink sink);
  ~CapacitorBridge();
  CapacitorBridge(const CapacitorBridge&) = delete;
  CapacitorBridge& operator=(const CapacitorBridge&) = delete;

  // The script that must run before the framework's native bridge script
  // in every page: the server URL and the native plugins' method headers.
  static std::string preamble(std::string_view serverUrl);

  // One message the page posted to the "bridge" handler, as JSON.
  void receive(std::string_view messageJson);
  // A new page: the listeners of the old one are gone.
  void pageReset();

 private:
  void handle(std::string_view messageJson);
  void notify(const std::string& eventName, const std::string& dataJson, bool retain);
  void result(const std::string& callbackId, const std::string& methodName, bool success,
              const std::string& payloadJson, bool keep);

  ScriptSink sink_;
  std::map<std::string, std::vector<std::string>> listeners_;  // event name to callback ids
  std::map<std::string, std::vector<std::string>> retained_;   // event name to data JSON
  std::vector<NotificationCenter::ObserverId> observers_;
};

}  // namespace platform

#include "platform/Capacitor/CapacitorBridge.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/Capacitor/ApplicationDelegateProxy.h"
#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/JsonNesting.h"
#include "platform/Foundation/Log.h"
#include "platform/UIKit/Application.h"
#include "platform/UIKit/UIApplication.h"

namespace platform {
namespace {

using json = nlohmann::json;

std::string dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool isActive() {
  const UIApplication* app = UIApplication::sharedApplication();
  return app && app->applicationState() == UIApplication::State::Active;
}

}  // namespace

CapacitorBridge::CapacitorBridge(ScriptSink sink) : sink_(std::move(sink)) {
  NotificationCenter& center = NotificationCenter::defaultCenter();
  auto onUrl = [this](const Notification& n) {
    const Value* url = find(n.userInfo, "url");
    if (url && isString(*url)) {
      notify("appUrlOpen", dump({{"url", *stringIf(*url)}}), /*retain=*/true);
    }
  };
  observers_.push_back(center.addObserver(kCapacitorOpenURLNotification, nullptr, onUrl));
  observers_.push_back(center.addObserver(kCapacitorOpenUniversalLinkNotification, nullptr, onUrl));
  observers_.push_back(center.addObserver(
      kUIApplicationDidBecomeActiveNotification, nullptr,
      [this](const Notification&) { notify("appStateChange", R"({"isActive":true})", false); }));
  observers_.push_back(center.addObserver(
      kUIApplicationWillResignActiveNotification, nullptr,
      [this](const Notification&) { notify("appStateChange", R"({"isActive":false})", false); }));
}

CapacitorBridge::~CapacitorBridge() {
  for (NotificationCenter::ObserverId id : observers_)
    NotificationCenter::defaultCenter().removeObserver(id);
}

std::string CapacitorBridge::preamble(std::string_view serverUrl) {
  json methods = json::array();
  for (const char* name : {"addListener", "removeListener"})
    methods.push_back({{"name", name}, {"rtype", "callback"}});
  for (const char* name : {"removeAllListeners", "getLaunchUrl", "getState", "getInfo"})
    methods.push_back({{"name", name}, {"rtype", "promise"}});
  const json capacitor = {
      {"DEBUG", false},
      {"isLoggingEnabled", false},
      {"Plugins", json::object()},
      {"PluginHeaders", json::array({{{"name", "App"}, {"methods", methods}}})}};
  return "window.WEBVIEW_SERVER_URL = " + dump(std::string(serverUrl)) +
         ";\nwindow.Capacitor = " + dump(capacitor) + ";\n";
}

void CapacitorBridge::receive(std::string_view messageJson) {
  // A field of an unexpected type (a page's own postMessage) throws from
  // the JSON accessors: refused and logged, never across the toolkit.
  try {
    handle(messageJson);
  } catch (const std::exception& e) {
    NSLog(std::string("CapacitorBridge: refused a message: ") + e.what());
  }
}

void CapacitorBridge::handle(std::string_view messageJson) {
  if (messageJson.size() > (1 << 20)) return;
  if (nestsDeeperThan(messageJson, 64)) return;
  const json call = json::parse(messageJson, nullptr, false);
  if (!call.is_object() || call.value("type", "message") != "message") return;
  const std::string callbackId = call.value("callbackId", "-1");
  const std::string pluginId = call.value("pluginId", "");
  const std::string method = call.value("methodName", "");
  const json options =
      call.contains("options") && call["options"].is_object() ? call["options"] : json::object();
  auto fail = [&](const std::string& message) {
    result(callbackId, method, false, dump({{"message", message}}), false);
  };
  if (pluginId != "App") {
    NSLog("CapacitorBridge: no native plugin \"" + pluginId + "\"");
    fail("\"" + pluginId + "\" plugin is not implemented on ios");
    return;
  }
  if (method == "addListener") {
    const std::string event = options.value("eventName", "");
    // The call is kept and answered once per event, never on its own.
    listeners_[event].push_back(callbackId);
    auto retained = retained_.find(event);
    if (retained != retained_.end()) {
      const std::vector<std::string> data = std::move(retained->second);
      retained_.erase(retained);
      for (const std::string& d : data)
        result(callbackId, method, true, d, true);
    }
  } else if (method == "removeListener") {
    const std::string id = options.value("callbackId", "");
    auto& ids = listeners_[options.value("eventName", "")];
    std::erase(ids, id);
    result(callbackId, method, true, "{}", false);
  } else if (method == "removeAllListeners") {
    listeners_.clear();
    result(callbackId, method, true, "{}", false);
  } else if (method == "getLaunchUrl") {
    const std::optional<std::string>& url = ApplicationDelegateProxy::shared().lastURL();
    result(callbackId, method, true, url ? dump({{"url", *url}}) : "{}", false);
  } else if (method == "getState") {
    result(callbackId, method, true, dump({{"isActive", isActive()}}), false);
  } else if (method == "getInfo") {
    const BundleInfo info = Bundle::main();
    result(callbackId, method, true,
           dump({{"name", info.name},
                 {"id", info.identifier},
                 {"build", info.shortVersion},
                 {"version", info.shortVersion}}),
           false);
  } else {
    fail("\"App." + method + "()\" is not implemented on ios");
  }
}

void CapacitorBridge::pageReset() {
  listeners_.clear();
}

void CapacitorBridge::notify(const std::string& eventName, const std::string& dataJson,
                             bool retain) {
  auto it = listeners_.find(eventName);
  if (it == listeners_.end() || it->second.empty()) {
    if (!retain) return;
    std::vector<std::string>& kept = retained_[eventName];
    kept.push_back(dataJson);
    if (kept.size() > kMaxRetained) kept.erase(kept.begin());
    return;
  }
  for (const std::string& callbackId : it->second)
    result(callbackId, "addListener", true, dataJson, true);
}

void CapacitorBridge::result(const std::string& callbackId, const std::string& methodName,
                             bool success, const std::string& payloadJson, bool keep) {
  if (callbackId == "-1") return;  // a call that asked for no answer
  json answer = {{"callbackId", callbackId},
                 {"pluginId", "App"},
                 {"methodName", methodName},
                 {"success", success},
                 {"save", keep}};
  answer[success ? "data" : "error"] = json::parse(payloadJson, nullptr, false);
  if (sink_) sink_("window.Capacitor && window.Capacitor.fromNative(" + dump(answer) + ");");
}

}  // namespace platform

#include "platform/Cordova/CommandBridge.h"

#include <cctype>
#include <exception>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/Foundation/JsonNesting.h"
#include "platform/Foundation/Log.h"
#include "platform/Foundation/MutexLock.h"
#include "platform/Foundation/RunLoop.h"

namespace platform {
namespace {

using nlohmann::json;

// Script text in log lines is cut short: a line is for a person to read.
std::string shown(std::string_view text) {
  constexpr std::size_t kShown = 64;
  std::string out = "\"";
  out += text.substr(0, kShown);
  if (text.size() > kShown) out += "...";
  out += '"';
  return out;
}

ScriptValue scriptValue(const json& j) {
  switch (j.type()) {
    case json::value_t::string:
      return ScriptValue(j.get<std::string>());
    case json::value_t::boolean:
      return ScriptValue(Number(j.get<bool>()));
    case json::value_t::number_integer:
      return ScriptValue(Number(j.get<long long>()));
    case json::value_t::number_unsigned:
      return ScriptValue(Number(j.get<unsigned long long>()));
    case json::value_t::number_float:
      return ScriptValue(Number(j.get<double>()));
    case json::value_t::array:
      return ScriptValue::array(j.dump());
    case json::value_t::object:
      return ScriptValue::object(j.dump());
    default:
      return ScriptValue();
  }
}

// The callback id at the head of a message that cannot be parsed, if it
// has a plain one ('["id", ...'), so that the page still hears of it.
std::string leadingCallbackId(std::string_view message) {
  auto skipSpace = [&] {
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message[0])))
      message.remove_prefix(1);
  };
  skipSpace();
  if (message.empty() || message[0] != '[') return {};
  message.remove_prefix(1);
  skipSpace();
  if (message.empty() || message[0] != '"') return {};
  message.remove_prefix(1);
  constexpr std::size_t kLongest = 128;
  std::size_t n = 0;
  while (n < message.size() && n <= kLongest &&
         (std::isalnum(static_cast<unsigned char>(message[n])) ||
          std::string_view("_.:-").find(message[n]) != std::string_view::npos))
    ++n;
  if (n == 0 || n > kLongest || n == message.size() || message[n] != '"') return {};
  return std::string(message.substr(0, n));
}

}  // namespace

CommandBridge::CommandBridge(AnswerSink sink, std::size_t backgroundThreads)
    : sink_(std::move(sink)),
      pool_("plugin-bg", backgroundThreads),
      delivery_("plugin-delivery", [](Thread& self) { self.runLoop().run(); }) {
  delivery_.start();
}

CommandBridge::~CommandBridge() {
  drain();
  delivery_.runLoop().stop();
}

void CommandBridge::registerPlugin(std::string service, PluginFactory factory) {
  delivery_.runLoop().postAndWait([&] { factories_[std::move(service)] = std::move(factory); });
}

bool CommandBridge::loadPlugin(std::string_view service) {
  bool loaded = false;
  delivery_.runLoop().postAndWait([&] { loaded = plugin(service) != nullptr; });
  return loaded;
}

void CommandBridge::receive(std::string message) {
  if (message.size() > kMaxMessageBytes) {
    NSLog("CommandBridge: refused a message of " + std::to_string(message.size()) +
          " bytes (the limit is " + std::to_string(kMaxMessageBytes) + ")");
    const std::string callbackId = leadingCallbackId(message);
    if (!callbackId.empty()) {
      answer(callbackId, CDVCommandStatus_JSON_EXCEPTION, "Message too large");
    }
    return;
  }
  delivery_.runLoop().post([this, message = std::move(message)] { deliver(message); });
}

void CommandBridge::drain() {
  // Delivery may start background work and background work may start more;
  // once the delivery queue is through, the pool going idle ends it all.
  delivery_.runLoop().postAndWait([] {});
  pool_.waitIdle();
}

void CommandBridge::sendPluginResult(const CDVPluginResult& result, std::string_view callbackId) {
  if (callbackId == "INVALID") return;
  const std::string line = result.toJson(callbackId);
  MutexLock lock(sinkMutex_);
  if (sink_) sink_(line);
}

void CommandBridge::runInBackground(std::function<void()> work) {
  pool_.post(std::move(work));
}

void CommandBridge::setInspectorHandler(InspectorHandler handler) {
  MutexLock lock(sinkMutex_);
  inspector_ = std::move(handler);
}

void CommandBridge::requestWebInspector() {
  InspectorHandler handler;
  {
    MutexLock lock(sinkMutex_);
    handler = inspector_;
  }
  if (handler) handler();
}

void CommandBridge::answer(std::string_view callbackId, CDVCommandStatus status,
                           const std::string& text) {
  sendPluginResult(CDVPluginResult::resultWithStatus(status, text), callbackId);
}

CDVPlugin* CommandBridge::plugin(std::string_view service) {
  delivery_.runLoop().assertIsCurrent(__PRETTY_FUNCTION__);
  if (auto it = plugins_.find(service); it != plugins_.end()) return it->second.get();
  auto factory = factories_.find(service);
  if (factory == factories_.end()) return nullptr;
  std::unique_ptr<CDVPlugin> made = factory->second ? factory->second() : nullptr;
  if (!made) return nullptr;
  made->setCommandDelegate(this);
  made->pluginInitialize();
  return plugins_.emplace(std::string(service), std::move(made)).first->second.get();
}

void CommandBridge::deliver(const std::string& message) {
  delivery_.runLoop().assertIsCurrent(__PRETTY_FUNCTION__);
  constexpr int kDeepest = 64;
  if (nestsDeeperThan(message, kDeepest)) {
    NSLog("CommandBridge: dropped a message nested deeper than " + std::to_string(kDeepest) +
          " levels");
    const std::string callbackId = leadingCallbackId(message);
    if (!callbackId.empty())
      answer(callbackId, CDVCommandStatus_JSON_EXCEPTION, "Nested too deeply");
    return;
  }
  const json parsed = json::parse(message, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) {
    // The parser also refuses text that is not UTF-8.
    NSLog("CommandBridge: dropped a message that is not JSON: " + shown(message));
    const std::string callbackId = leadingCallbackId(message);
    if (!callbackId.empty()) answer(callbackId, CDVCommandStatus_JSON_EXCEPTION, "Malformed JSON");
    return;
  }
  if (!parsed.is_array() || parsed.empty() || !parsed[0].is_string()) {
    NSLog("CommandBridge: dropped a message without a callback id: " + shown(message));
    return;
  }
  const std::string callbackId = parsed[0].get<std::string>();
  if (parsed.size() != 4 || !parsed[1].is_string() || !parsed[2].is_string() ||
      !parsed[3].is_array()) {
    NSLog("CommandBridge: malformed command for callback " + shown(callbackId));
    answer(callbackId, CDVCommandStatus_JSON_EXCEPTION,
           "Malformed command: expected [callbackId, service, action, args]");
    return;
  }
  const std::string service = parsed[1].get<std::string>();
  const std::string action = parsed[2].get<std::string>();

  CDVPlugin* target = plugin(service);
  if (!target) {
    NSLog("CommandBridge: no plugin for service " + shown(service));
    answer(callbackId, CDVCommandStatus_CLASS_NOT_FOUND_EXCEPTION, "Class not found: " + service);
    return;
  }
  const CDVPlugin::Action* run = target->action(action);
  if (!run) {
    NSLog("CommandBridge: " + shown(service) + " has no action " + shown(action));
    answer(callbackId, CDVCommandStatus_INVALID_ACTION, "Invalid action: " + action);
    return;
  }

  std::vector<ScriptValue> arguments;
  arguments.reserve(parsed[3].size());
  for (const json& j : parsed[3])
    arguments.push_back(scriptValue(j));
  auto command = std::make_shared<const CDVInvokedUrlCommand>(std::move(arguments), callbackId,
                                                              service, action);
  try {
    (*run)(command);
  } catch (const std::exception& e) {
    NSLog("CommandBridge: " + service + "." + action + " failed: " + e.what());
    answer(callbackId, CDVCommandStatus_ERROR, action + " failed: " + e.what());
  }
}

}  // namespace platform

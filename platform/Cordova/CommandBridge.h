#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Cordova/BackgroundPool.h"
#include "platform/Cordova/CDVCommandDelegate.h"
#include "platform/Cordova/CDVPlugin.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/Thread.h"

namespace platform {

// The message bridge between a page's scripts and the plugins: one message
// [callbackId, service, action, args] in, answers
// {"callbackId": ..., "status": N, "message": ..., "keepCallback": bool} out
// through the answer sink. Plugins are registered by service name and made on
// their first command (or by loadPlugin()); the bridge owns them and is their
// command delegate.
//
// A message that cannot be delivered never stops the bridge: it is logged,
// and answered when it names a callback id (malformed: status 8, unknown
// service: 2, unknown action: 7, too large: 8, an action that failed: 9).
// Answers to the callback id "INVALID" (a call without callbacks) are not
// sent.
//
// Threads: every member is safe to call from any thread, except that drain()
// and the destructor must not be called from the bridge's own threads.
// Messages are parsed and delivered on the bridge's delivery thread
// ("plugin-delivery"), one at a time, in the order receive() was called;
// background work runs on a pool of a few threads ("plugin-bg"). The sink is called from any of
// these threads, never from two at once.
class CommandBridge : public CDVCommandDelegate {
 public:
  using AnswerSink = std::function<void(const std::string& answerJson)>;
  using PluginFactory = std::function<std::unique_ptr<CDVPlugin>()>;
  using InspectorHandler = std::function<void()>;

  // Larger messages are refused unread.
  static constexpr std::size_t kMaxMessageBytes = 8 << 20;

  explicit CommandBridge(AnswerSink sink, std::size_t backgroundThreads = 4);
  // Waits for delivered work to finish (drain()), then ends its threads.
  ~CommandBridge() override;
  CommandBridge(const CommandBridge&) = delete;
  CommandBridge& operator=(const CommandBridge&) = delete;

  void registerPlugin(std::string service, PluginFactory factory);
  // Makes and initialises the service's plugin now, on the delivery thread;
  // false when no such service is registered.
  bool loadPlugin(std::string_view service);

  // Queues one message for delivery; never blocks on the plugins.
  void receive(std::string message);
  // Waits until every message received so far is delivered and all
  // background work has finished.
  void drain();

  void sendPluginResult(const CDVPluginResult& result, std::string_view callbackId) override;
  void runInBackground(std::function<void()> work) override;
  // What a plugin's requestWebInspector() calls, on the plugin's thread;
  // without one the request is ignored.
  void setInspectorHandler(InspectorHandler handler);
  void requestWebInspector() override;

 private:
  void deliver(const std::string& message);     // on the delivery thread
  CDVPlugin* plugin(std::string_view service);  // on the delivery thread
  void answer(std::string_view callbackId, CDVCommandStatus status, const std::string& text);

  Mutex sinkMutex_;
  AnswerSink sink_ HALDEN_GUARDED_BY(sinkMutex_);  // called under sinkMutex_, one answer at a time
  InspectorHandler inspector_ HALDEN_GUARDED_BY(sinkMutex_);
  // Delivery-thread state: the registry and the plugins made from it.
  std::map<std::string, PluginFactory, std::less<>> factories_;
  std::map<std::string, std::unique_ptr<CDVPlugin>, std::less<>> plugins_;
  BackgroundPool pool_;
  Thread delivery_;
};

}  // namespace platform

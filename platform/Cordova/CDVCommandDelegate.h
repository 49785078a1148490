#pragma once

#include <functional>
#include <string_view>

#include "platform/Cordova/CDVPluginResult.h"

// What a plugin answers and schedules through. Implemented by the bridge
// that delivers the plugin's commands.
//
// Threads: every operation is safe to call from any thread.
class CDVCommandDelegate {
 public:
  virtual ~CDVCommandDelegate() = default;
  // Sends the answer to the script callback with this id. Answers to a
  // callback are sent in the order of these calls.
  virtual void sendPluginResult(const CDVPluginResult& result, std::string_view callbackId) = 0;
  // Runs the work once, off the calling thread, on a small pool shared by
  // every plugin of the bridge; several pieces may run at once and finish in
  // any order. Never blocks the caller.
  virtual void runInBackground(std::function<void()> work) = 0;
  // A plugin's debug switch asks for the web view's inspector; whether it
  // opens is the application's to decide. Nothing happens where there is no
  // web view.
  virtual void requestWebInspector() {}
};

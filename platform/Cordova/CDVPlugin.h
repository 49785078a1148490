#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "platform/Cordova/CDVCommandDelegate.h"
#include "platform/Cordova/CDVInvokedUrlCommand.h"

// The base of every plugin: a service the scripts call by name, whose
// actions (the script's command names) a subclass exposes in its
// constructor. The bridge that loads a plugin gives it its command delegate
// and then calls pluginInitialize() once.
//
// Threads: actions are invoked on the bridge's delivery thread, one at a
// time, in the order the commands arrived; pluginInitialize() runs there too,
// before the first action. What an action hands to runInBackground() runs on
// the bridge's pool.
class CDVPlugin {
 public:
  using Action = std::function<void(const CDVInvokedUrlCommand::Ptr&)>;

  virtual ~CDVPlugin() = default;
  CDVPlugin(const CDVPlugin&) = delete;
  CDVPlugin& operator=(const CDVPlugin&) = delete;

  // Called once, after the command delegate is set.
  virtual void pluginInitialize() {}

  // Not owned: the bridge outlives its plugins.
  CDVCommandDelegate* commandDelegate() const { return commandDelegate_; }
  void setCommandDelegate(CDVCommandDelegate* delegate) { commandDelegate_ = delegate; }

  // The action of this name, or null when the plugin has none.
  const Action* action(std::string_view name) const {
    auto it = actions_.find(name);
    return it == actions_.end() ? nullptr : &it->second;
  }

 protected:
  CDVPlugin() = default;

  // Makes a member function callable from script under the name.
  template <class Plugin>
  void exposeAction(std::string name, void (Plugin::*method)(const CDVInvokedUrlCommand::Ptr&)) {
    Plugin* self = static_cast<Plugin*>(this);
    actions_[std::move(name)] = [self, method](const CDVInvokedUrlCommand::Ptr& command) {
      (self->*method)(command);
    };
  }

 private:
  CDVCommandDelegate* commandDelegate_ = nullptr;
  std::map<std::string, Action, std::less<>> actions_;
};

#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/UIKit/UIWindow.h"

namespace platform {

class CommandBridge;

// The application's window: one web view showing the web application's
// pages from the "app" URL scheme (app://localhost/...), speaking both
// frameworks' page bridges: Cordova's (its cordova.js posts
// [callbackId, service, action, args] to the "cordova" message handler and
// hears answers through its nativeCallback) over a CommandBridge with the
// application's plugins, and Capacitor's (its native bridge script posts to
// "bridge"; see CapacitorBridge).
//
// Only the application's own pages reach the bridges, by three guards: the
// window follows no navigation of any frame to another origin (nor opens
// windows), every page comes with the application's Content-Security-Policy
// (whose frame-src keeps other origins out of frames), and a message is
// taken only while the window shows one of the application's pages. The web
// inspector is on with `inspector`, or when a plugin asks for it and
// `inspectorOnRequest` allows it. With `automation` WebKit's WebDriver may
// drive the window.
//
// Made by class name ("UIMainWindow") after configure().
// Threads: main thread only; bridge answers come back through the main run
// loop.
class BridgeWindow : public UIWindow, public std::enable_shared_from_this<BridgeWindow> {
 public:
  // A Cordova plugin's script module, served wrapped for Cordova's loader.
  struct CordovaModule {
    std::string id;        // "cordova-plugin-omnistat.omnistat"
    std::string pluginId;  // "cordova-plugin-omnistat"
    std::string urlPath;   // "plugins/cordova-plugin-omnistat/www/omnistat.js"
    std::string file;      // where it is on disk
    std::string clobbers;  // "omnistat"
  };
  struct Configuration {
    std::string title;
    std::string webRoot;                // the pages, served at app://localhost/
    std::string contentSecurityPolicy;  // sent with every page and script
    std::string backgroundColor;        // a CSS colour; empty: the toolkit's
    std::string cordovaScript;          // Cordova's cordova.js, served at /cordova.js
    std::string capacitorBridgeScript;  // Capacitor's native bridge, put into every page
    std::vector<std::pair<std::string, std::string>> scripts;  // URL path, file
    std::vector<CordovaModule> cordovaModules;
    std::function<void(CommandBridge&)> registerPlugins;
    bool automation = false;
    bool inspector = false;
    bool inspectorOnRequest = false;
    int width = 1100;
    int height = 760;
    int minWidth = 0;
    int minHeight = 0;
  };

  static void configure(Configuration configuration);

  BridgeWindow();
  ~BridgeWindow() override;

  void makeKeyAndVisible() override;
  void* nativeWindow() override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform

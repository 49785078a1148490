// halden-app: the hybrid application. Its window shows the web application
// in App/public; the page's scripts reach the analytics client through the
// plugin. With --headless it serves the script bridge on standard input and
// output instead, for scripts, tests and automation without a display.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "AppDelegate.h"
#include "HeadlessHost.h"
#include "OmnistatPlugin.h"
#include "platform/Capacitor/BridgeWindow.h"
#include "platform/Cordova/CommandBridge.h"
#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/Class.h"
#include "platform/UIKit/UIApplicationMain.h"

namespace {

void usage(std::FILE* to) {
  std::fputs(
      "usage: halden-app [--inspect] [--automation] [URL...]\n"
      "       halden-app --headless\n"
      "  URL           a URL to open (x-halden-shop://product/mug?utm_source=...); given to\n"
      "                the running application when there is one\n"
      "  --inspect     the web inspector is available (right click, Inspect Element)\n"
      "  --automation  WebKit's WebDriver may drive the window\n"
      "  --headless    serve the script bridge on standard input and output: one\n"
      "                JSON message [callbackId, service, action, args] per line in,\n"
      "                one answer {\"callbackId\", \"status\", \"message\", \"keepCallback\"}\n"
      "                per line out, log lines on standard error; exits 0 at end of input\n",
      to);
}

// Where the pages and the frameworks' scripts are: HALDEN_APP_RESOURCES, else
// share/halden-app beside an installed program, else the source tree the
// program was built from.
struct Resources {
  std::string app;     // public/ and node_modules/
  std::string plugin;  // www/omnistat.js
};

Resources resources() {
  if (const char* dir = std::getenv("HALDEN_APP_RESOURCES"); dir && *dir) {
    return {dir, std::string(dir) + "/plugin"};
  }
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  const std::filesystem::path installed = self.parent_path().parent_path() / "share/halden-app";
  if (!error && std::filesystem::exists(installed / "public/index.html", error)) {
    return {installed.string(), (installed / "plugin").string()};
  }
  return {HALDEN_APP_SOURCE_DIR, HALDEN_PLUGIN_SOURCE_DIR};
}

void registerPlugins(platform::CommandBridge& bridge) {
  bridge.registerPlugin("OmnistatPlugin", [] { return std::make_unique<OmnistatPlugin>(); });
}

}  // namespace

int main(int argc, char** argv) {
  bool headless = false;
  bool inspect = false;
  bool automation = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--headless") {
      headless = true;
    } else if (arg == "--inspect") {
      inspect = true;
    } else if (arg == "--automation") {
      automation = true;
    } else if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "halden-app: unknown option \"%s\"\n", argv[i]);
      usage(stderr);
      return 2;
    }
  }
  platform::Bundle::setMain({"Halden Shop", "org.halden.Shop", "1.0"});
  if (headless) return HeadlessHost(STDIN_FILENO, stdout, registerPlugins).run();

  const Resources where = resources();
  const std::string root = where.app;
  const std::string modules = root + "/node_modules";
  platform::BridgeWindow::Configuration window;
  window.title = "Halden Shop";
  window.webRoot = root + "/public";
  window.cordovaScript = modules + "/cordova-ios/templates/project/www/cordova.js";
  window.capacitorBridgeScript =
      modules + "/@capacitor/ios/Capacitor/Capacitor/assets/native-bridge.js";
  window.scripts = {{"/capacitor/core.js", modules + "/@capacitor/core/dist/capacitor.js"},
                    {"/capacitor/app.js", modules + "/@capacitor/app/dist/plugin.js"}};
  window.cordovaModules = {{"cordova-plugin-omnistat.omnistat", "cordova-plugin-omnistat",
                            "plugins/cordova-plugin-omnistat/www/omnistat.js",
                            where.plugin + "/www/omnistat.js", "omnistat"}};
  window.registerPlugins = registerPlugins;
  window.automation = automation;
  window.inspector = inspect;
  platform::BridgeWindow::configure(std::move(window));

  platform::ClassRegistry::registerClass(AppDelegate::kClassName,
                                         std::make_shared<platform::ClassOf<AppDelegate>>());
  platform::ClassRegistry::registerClass(
      "UIMainWindow", std::make_shared<platform::ClassOf<platform::BridgeWindow>>());
  return UIApplicationMain(argc, argv, nullptr, AppDelegate::kClassName);
}

// halden-app: the shell around a web application. It runs the application
// described by the capacitor.config.json in the folder given with --app (the
// installed demo shop without one) in a window whose pages reach the
// analytics client through the plugin. With --headless it serves the script
// bridge on standard input and output instead, for scripts, tests and
// automation without a display.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppConfiguration.h"
#include "AppDelegate.h"
#include "HeadlessHost.h"
#include "OmnistatPlugin.h"
#include "platform/Capacitor/BridgeWindow.h"
#include "platform/Cordova/CommandBridge.h"
#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/Class.h"
#include "platform/UIKit/UIApplicationMain.h"

namespace fs = std::filesystem;

namespace {

void usage(std::FILE* to) {
  std::fputs(
      "usage: halden-app [--app DIR] [--inspect] [--automation] [URL...]\n"
      "       halden-app [--app DIR] --headless\n"
      "       halden-app [--app DIR] --print-config\n"
      "  --app DIR       run the web application in DIR, described by DIR/capacitor.config.json\n"
      "                  (without it: the demo shop)\n"
      "  URL             a URL to open, of a scheme the application names (x-halden-shop://...\n"
      "                  for the shop); given to the running application when there is one\n"
      "  --inspect       the web inspector is available (right click, Inspect Element)\n"
      "  --automation    WebKit's WebDriver may drive the window\n"
      "  --print-config  print the configuration as understood, defaults filled in, and exit\n"
      "  --headless      serve the script bridge on standard input and output: one\n"
      "                  JSON message [callbackId, service, action, args] per line in,\n"
      "                  one answer {\"callbackId\", \"status\", \"message\", \"keepCallback\"}\n"
      "                  per line out, log lines on standard error; exits 0 at end of input\n",
      to);
}

struct Options {
  std::optional<std::string> app;
  bool headless = false;
  bool inspect = false;
  bool automation = false;
  bool printConfig = false;
  std::vector<std::string> urls;
};

// The options, or the exit status when there is nothing to run.
std::optional<int> parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--app" && i + 1 < argc) {
      options.app = argv[++i];
    } else if (arg.rfind("--app=", 0) == 0) {
      options.app = arg.substr(6);
    } else if (arg == "--headless") {
      options.headless = true;
    } else if (arg == "--inspect") {
      options.inspect = true;
    } else if (arg == "--automation") {
      options.automation = true;
    } else if (arg == "--print-config") {
      options.printConfig = true;
    } else if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "halden-app: unknown option \"%s\"%s\n", argv[i],
                   arg == "--app" ? " without a folder" : "");
      usage(stderr);
      return 2;
    } else {
      options.urls.push_back(arg);
    }
  }
  return std::nullopt;
}

// Where the shell's own files are (the frameworks' page scripts, the
// plugin's module, the demo shop): HALDEN_APP_RESOURCES, else
// share/halden-app beside an installed program, else the source tree the
// program was built from.
struct Resources {
  fs::path frameworks;  // node_modules/
  fs::path plugin;      // www/omnistat.js
  fs::path shop;        // the demo shop's folder
};

Resources resources() {
  if (const char* dir = std::getenv("HALDEN_APP_RESOURCES"); dir && *dir) {
    const fs::path root = dir;
    return {root / "node_modules", root / "plugin", root / "shop"};
  }
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  const fs::path installed = self.parent_path().parent_path() / "share/halden-app";
  if (!error && fs::exists(installed / "shop" / AppConfiguration::kFileName, error)) {
    return {installed / "node_modules", installed / "plugin", installed / "shop"};
  }
  const fs::path source = HALDEN_APP_SOURCE_DIR;
  return {source / "node_modules", HALDEN_PLUGIN_SOURCE_DIR, source / "shop"};
}

void registerPlugins(platform::CommandBridge& bridge) {
  bridge.registerPlugin("OmnistatPlugin", [] { return std::make_unique<OmnistatPlugin>(); });
}

platform::BridgeWindow::Configuration window(const AppConfiguration& app, const Resources& where,
                                             const Options& options) {
  const fs::path& modules = where.frameworks;
  platform::BridgeWindow::Configuration window;
  window.title = app.title;
  window.webRoot = app.webDir.string();
  window.contentSecurityPolicy = app.contentSecurityPolicy;
  window.backgroundColor = app.backgroundColor;
  window.cordovaScript = modules / "cordova-ios/templates/project/www/cordova.js";
  window.capacitorBridgeScript =
      modules / "@capacitor/ios/Capacitor/Capacitor/assets/native-bridge.js";
  window.scripts = {{"/capacitor/core.js", modules / "@capacitor/core/dist/capacitor.js"},
                    {"/capacitor/app.js", modules / "@capacitor/app/dist/plugin.js"}};
  window.cordovaModules = {{"cordova-plugin-omnistat.omnistat", "cordova-plugin-omnistat",
                            "plugins/cordova-plugin-omnistat/www/omnistat.js",
                            where.plugin / "www/omnistat.js", "omnistat"}};
  window.registerPlugins = registerPlugins;
  window.automation = options.automation;
  window.inspector = options.inspect;
  window.inspectorOnRequest = options.inspect || app.inspector;
  window.width = app.width;
  window.height = app.height;
  window.minWidth = app.minWidth;
  window.minHeight = app.minHeight;
  return window;
}

// The delegate is made by class name; this class makes it with the
// application's configuration.
class AppDelegateClass : public platform::Class {
 public:
  explicit AppDelegateClass(AppConfiguration app) : app_(std::move(app)) {}
  std::shared_ptr<platform::Object> make() const override {
    return std::make_shared<AppDelegate>(app_);
  }

 private:
  AppConfiguration app_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (std::optional<int> status = parse(argc, argv, options)) return *status;

  const Resources where = resources();
  AppConfiguration::Loaded loaded =
      AppConfiguration::load(options.app ? fs::path(*options.app) : where.shop);
  for (const std::string& warning : loaded.warnings)
    std::fprintf(stderr, "halden-app: warning: %s\n", warning.c_str());
  if (!loaded.configuration) {
    std::fprintf(stderr, "halden-app: %s\n", loaded.error.c_str());
    return 2;
  }
  const AppConfiguration& app = *loaded.configuration;
  if (options.printConfig) {
    std::printf("%s\n", app.toJson().c_str());
    return 0;
  }

  platform::Bundle::setMain({app.appName, app.appId, app.version});
  if (options.headless) return HeadlessHost(STDIN_FILENO, stdout, registerPlugins).run();

  platform::BridgeWindow::configure(window(app, where, options));
  platform::ClassRegistry::registerClass(AppDelegate::kClassName,
                                         std::make_shared<AppDelegateClass>(app));
  platform::ClassRegistry::registerClass(
      "UIMainWindow", std::make_shared<platform::ClassOf<platform::BridgeWindow>>());
  // The toolkit hears only the URLs: the shell's options are its own.
  std::vector<char*> args = {argv[0]};
  for (std::string& url : options.urls)
    args.push_back(url.data());
  args.push_back(nullptr);
  return UIApplicationMain(static_cast<int>(args.size() - 1), args.data(), nullptr,
                           AppDelegate::kClassName);
}

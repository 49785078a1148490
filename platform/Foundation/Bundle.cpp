#include "platform/Foundation/Bundle.h"

#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "platform/Foundation/Log.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"

namespace platform {

namespace {

std::string executablePath() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Strings only: a number or an object under one of our keys is ignored, so a
// hand-edited file cannot turn into a surprising identifier.
void takeString(const nlohmann::json& json, const char* key, std::string& into) {
  auto it = json.find(key);
  if (it != json.end() && it->is_string()) into = it->get<std::string>();
}

BundleInfo loadMainBundle() {
  const std::string exe = executablePath();
  const size_t slash = exe.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : exe.substr(0, slash);
  std::string program = slash == std::string::npos ? exe : exe.substr(slash + 1);
  if (program.empty()) program = program_invocation_short_name;

  BundleInfo info{program, "local." + program, ""};
  const std::string infoPath = folder + "/Info.json";
  std::ifstream in(infoPath, std::ios::binary);
  if (!in) return info;
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json json = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) {
    NSLog("Ignoring " + infoPath + ": not a JSON object");
    return info;
  }
  takeString(json, "CFBundleName", info.name);
  takeString(json, "CFBundleIdentifier", info.identifier);
  takeString(json, "CFBundleShortVersionString", info.shortVersion);
  if (info.name.empty()) info.name = program;
  if (info.identifier.empty()) info.identifier = "local." + program;
  return info;
}

// The main bundle, read lazily on first use; a setMain() before that means the
// file is never read at all.
struct MainBundle {
  Mutex mutex;
  std::optional<BundleInfo> info HALDEN_GUARDED_BY(mutex);
};

MainBundle& mainBundle() {
  // Never destroyed: the library's worker thread reads it while the process
  // exits.
  static MainBundle* const bundle = new MainBundle;
  return *bundle;
}

}  // namespace

BundleInfo Bundle::main() {
  MainBundle& bundle = mainBundle();
  MutexLock lock(bundle.mutex);
  if (!bundle.info) bundle.info = loadMainBundle();
  return *bundle.info;
}

void Bundle::setMain(BundleInfo info) {
  MainBundle& bundle = mainBundle();
  MutexLock lock(bundle.mutex);
  bundle.info = std::move(info);
}

}  // namespace platform

#pragma once

#include <string>

namespace platform {

// The main bundle's information. Read once, from "Info.json" beside the
// executable when it exists (keys "CFBundleName", "CFBundleIdentifier",
// "CFBundleShortVersionString"); missing keys fall back to the executable's
// name, "local.<executable name>" and the empty string. setMain() replaces it
// (the shell and tests), before the library first reads it.
struct BundleInfo {
  std::string name;
  std::string identifier;
  std::string shortVersion;
};

class Bundle {
 public:
  static BundleInfo main();  // a copy; safe from any thread
  static void setMain(BundleInfo info);
};

}  // namespace platform

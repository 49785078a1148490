#pragma once

#include <string>

namespace platform {

// The main bundle's information. Read once, from "Info.json" beside the
// executable when it exists (keys "CFBundleName", "CFBundleIdentifier",
// "CFBundleShortVersionString"; values that are not strings are ignored);
// missing keys fall back to the executable's name, "local.<executable name>"
// and the empty string. setMain() replaces it (the shell and tests), before
// the library first reads it: values derived from it once, such as the
// Library directory, keep what they saw first.
struct BundleInfo {
  std::string name;
  std::string identifier;
  std::string shortVersion;
};

class Bundle {
 public:
  static BundleInfo main();              // a copy; safe from any thread
  static void setMain(BundleInfo info);  // safe from any thread
};

}  // namespace platform

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A web application as the shell runs it, read from the "capacitor.config.json"
// in the application's folder: the keys of that file that mean something on a
// desktop ("appId", "appName", "webDir", "backgroundColor"), and under "linux"
// what only a desktop needs (window, URL schemes, content policy, version,
// whether the page may open the web inspector, and what a package says of
// the application). The keys other platforms use ("ios", "android",
// "server", "plugins", ...) are skipped quietly, as the frameworks skip what
// is not theirs; keys nobody knows are skipped with a warning.
class AppConfiguration {
 public:
  static constexpr char kFileName[] = "capacitor.config.json";
  // What the window allows when the file names no policy: the application's
  // own origin for everything, images also inline, nothing from elsewhere,
  // no plugins, no framing by anyone. The frameworks' bridge scripts are
  // injected by the window and are not subject to the page's policy.
  static constexpr char kDefaultContentSecurityPolicy[] =
      "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
      "font-src 'self'; connect-src 'self'; media-src 'self'; frame-src 'self'; "
      "child-src 'self'; worker-src 'self'; object-src 'none'; base-uri 'self'; "
      "form-action 'self'; frame-ancestors 'none'";
  // URLs longer than this are not handed to the page.
  static constexpr std::size_t kMaxURLBytes = 8192;

  std::filesystem::path directory;  // the application's folder, absolute
  std::string appId;                // reverse-DNS: "org.example.Notes"
  std::string appName;
  std::filesystem::path webDir;  // absolute
  std::string backgroundColor;   // empty: the toolkit's
  std::string title;
  int width = 1100;
  int height = 760;
  int minWidth = 0;
  int minHeight = 0;
  std::vector<std::string> schemes;  // lower case, without ":"
  std::string contentSecurityPolicy = kDefaultContentSecurityPolicy;
  std::string version = "1.0.0";
  bool inspector = false;      // the plugin's debug mode may open the inspector
  std::filesystem::path icon;  // absolute; empty: the shell's
  std::string summary;
  std::string maintainer;

  struct Loaded;
  // Never throws; every fault of the file is an error naming it and the key.
  static Loaded load(const std::filesystem::path& directory);

  // The configuration as the shell understood it, defaults filled in, in the
  // shape of the file.
  std::string toJson() const;

  // Whether the application handles URLs of this one's scheme, and the URL
  // is short enough to hand to the page.
  bool opens(std::string_view url) const;
};

// What load() read: the configuration, or the one error that kept it.
struct AppConfiguration::Loaded {
  std::optional<AppConfiguration> configuration;
  std::string error;  // "FILE: what is wrong", when there is no configuration
  std::vector<std::string> warnings;
};

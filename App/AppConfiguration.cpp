#include "AppConfiguration.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string_view>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// Keys of the file that belong to other platforms or to the frameworks'
// tooling: valid in a project's file, nothing to do on a desktop.
const std::set<std::string, std::less<>> kOtherPlatformsKeys = {
    "android",         "ios",
    "server",          "plugins",
    "cordova",         "bundledWebRuntime",
    "includePlugins",  "electron",
    "loggingBehavior", "overrideUserAgent",
    "appendUserAgent", "zoomEnabled",
    "initialFocus",    "experimental"};

// Schemes the window or the desktop own: an application cannot take them.
const std::set<std::string, std::less<>> kReservedSchemes = {
    "app",  "about", "blob",       "data",   "file", "ftp",
    "http", "https", "javascript", "mailto", "ws",   "wss"};

constexpr int kMaxWindowSide = 16384;

bool isLetter(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Two or more elements of letters, digits, "_" and "-", none empty or
// starting with a digit, at most 255 characters: what the desktop's
// application identifiers (and so the session bus) accept.
bool isReverseDns(std::string_view id) {
  if (id.empty() || id.size() > 255) return false;
  int elements = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(id.find('.', start), id.size());
    const std::string_view part = id.substr(start, end - start);
    if (part.empty() || isDigit(part.front())) return false;
    for (char c : part) {
      if (!isLetter(c) && !isDigit(c) && c != '_' && c != '-') return false;
    }
    ++elements;
    if (end == id.size()) break;
    start = end + 1;
  }
  return elements >= 2;
}

// RFC 3986: a letter, then letters, digits, "+", "-" and ".".
bool isScheme(std::string_view s) {
  if (s.empty() || s.size() > 64 || !isLetter(s.front())) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return isLetter(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
  });
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// What a Debian version allows, starting with a digit.
bool isVersion(std::string_view v) {
  // A hyphen starts the packaging revision, which cannot be empty.
  if (v.empty() || v.size() > 64 || !isDigit(v.front()) || v.back() == '-') return false;
  return std::all_of(v.begin(), v.end(), [](char c) {
    return isLetter(c) || isDigit(c) || c == '.' || c == '+' || c == '~' || c == '-';
  });
}

bool hasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Reads the file's keys into a configuration; the first fault found ends it
// with the message that names the key.
class Reader {
 public:
  Reader(const fs::path& file, AppConfiguration::Loaded& loaded) : file_(file), loaded_(loaded) {}

  bool fail(const std::string& what) {
    loaded_.error = file_.string() + ": " + what;
    return false;
  }
  void warn(const std::string& what) { loaded_.warnings.push_back(file_.string() + ": " + what); }

  bool string(const json& object, const char* key, const std::string& name, std::string& into,
              bool required) {
    const auto it = object.find(key);
    if (it == object.end()) return !required || fail("\"" + name + "\" is missing");
    if (!it->is_string()) return fail("\"" + name + "\" must be a string");
    into = it->get<std::string>();
    if (required && into.empty()) return fail("\"" + name + "\" is empty");
    if (hasControl(into)) return fail("\"" + name + "\" holds a control character");
    return true;
  }

  bool side(const json& object, const char* key, int& into, int least) {
    const auto it = object.find(key);
    if (it == object.end()) return true;
    if (!it->is_number_integer() || it->get<long long>() < least ||
        it->get<long long>() > kMaxWindowSide) {
      return fail("\"linux." + std::string(key) + "\" must be a whole number from " +
                  std::to_string(least) + " to " + std::to_string(kMaxWindowSide));
    }
    into = it->get<int>();
    return true;
  }

  // A file named by the key, relative to the application's folder.
  bool file(const json& object, const char* key, const std::string& name, fs::path& into) {
    std::string value;
    if (!string(object, key, name, value, false)) return false;
    if (value.empty()) return true;
    std::error_code error;
    into = fs::weakly_canonical(file_.parent_path() / value, error);
    if (error || !fs::is_regular_file(into, error)) {
      return fail("\"" + name + "\" \"" + value + "\" is not a file");
    }
    return true;
  }

  bool top(const json& root, AppConfiguration& c) {
    for (const auto& [key, value] : root.items()) {
      (void)value;
      if (key != "appId" && key != "appName" && key != "webDir" && key != "backgroundColor" &&
          key != "linux" && !kOtherPlatformsKeys.contains(key)) {
        warn("ignoring the unknown key \"" + key + "\"");
      }
    }
    if (!string(root, "appId", "appId", c.appId, true)) return false;
    if (!isReverseDns(c.appId)) {
      return fail("\"appId\" \"" + c.appId +
                  "\" is not a reverse-DNS identifier (such as org.example.App)");
    }
    c.appName = c.appId.substr(c.appId.rfind('.') + 1);
    if (!string(root, "appName", "appName", c.appName, false)) return false;
    if (c.appName.empty()) return fail("\"appName\" is empty");
    std::string web;
    if (!string(root, "webDir", "webDir", web, true)) return false;
    std::error_code error;
    c.webDir = fs::weakly_canonical(c.directory / web, error);
    if (error || !fs::is_directory(c.webDir, error)) {
      return fail("\"webDir\" \"" + web + "\" is not a folder");
    }
    if (!fs::is_regular_file(c.webDir / "index.html", error)) {
      return fail("\"webDir\" \"" + web + "\" has no index.html");
    }
    if (!string(root, "backgroundColor", "backgroundColor", c.backgroundColor, false)) {
      return false;
    }
    c.title = c.appName;
    return true;
  }

  bool schemes(const json& desk, AppConfiguration& c) {
    const auto it = desk.find("schemes");
    if (it == desk.end()) return true;
    if (!it->is_array()) return fail("\"linux.schemes\" must be a list of URL schemes");
    for (const json& entry : *it) {
      if (!entry.is_string() || !isScheme(entry.get<std::string>())) {
        return fail("\"linux.schemes\" holds " + entry.dump() + ", which is not a URL scheme");
      }
      std::string scheme = lower(entry.get<std::string>());
      if (kReservedSchemes.contains(scheme)) {
        return fail("\"linux.schemes\" holds \"" + scheme + "\", which an application cannot take");
      }
      if (std::find(c.schemes.begin(), c.schemes.end(), scheme) == c.schemes.end()) {
        c.schemes.push_back(std::move(scheme));
      }
    }
    return true;
  }

  bool desktop(const json& root, AppConfiguration& c) {
    const auto it = root.find("linux");
    if (it == root.end()) return true;
    if (!it->is_object()) return fail("\"linux\" must be an object");
    const json& desk = *it;
    static const std::set<std::string, std::less<>> known = {"title",
                                                             "width",
                                                             "height",
                                                             "minWidth",
                                                             "minHeight",
                                                             "schemes",
                                                             "contentSecurityPolicy",
                                                             "version",
                                                             "inspector",
                                                             "icon",
                                                             "summary",
                                                             "maintainer"};
    for (const auto& [key, value] : desk.items()) {
      (void)value;
      if (!known.contains(key)) warn("ignoring the unknown key \"linux." + key + "\"");
    }
    if (!string(desk, "title", "linux.title", c.title, false)) return false;
    if (c.title.empty()) c.title = c.appName;
    if (!side(desk, "width", c.width, 200) || !side(desk, "height", c.height, 150) ||
        !side(desk, "minWidth", c.minWidth, 0) || !side(desk, "minHeight", c.minHeight, 0)) {
      return false;
    }
    if (!schemes(desk, c)) return false;
    if (!string(desk, "contentSecurityPolicy", "linux.contentSecurityPolicy",
                c.contentSecurityPolicy, false)) {
      return false;
    }
    if (c.contentSecurityPolicy.empty()) {
      return fail("\"linux.contentSecurityPolicy\" is empty (leave it out for the default)");
    }
    if (!string(desk, "version", "linux.version", c.version, false)) return false;
    if (!isVersion(c.version)) {
      return fail("\"linux.version\" \"" + c.version +
                  "\" is not a version (digits first, then letters, digits, . + ~ -)");
    }
    if (const auto inspector = desk.find("inspector"); inspector != desk.end()) {
      if (!inspector->is_boolean()) return fail("\"linux.inspector\" must be true or false");
      c.inspector = inspector->get<bool>();
    }
    return file(desk, "icon", "linux.icon", c.icon) &&
           string(desk, "summary", "linux.summary", c.summary, false) &&
           string(desk, "maintainer", "linux.maintainer", c.maintainer, false);
  }

 private:
  const fs::path& file_;
  AppConfiguration::Loaded& loaded_;
};

}  // namespace

AppConfiguration::Loaded AppConfiguration::load(const fs::path& directory) {
  Loaded loaded;
  std::error_code error;
  AppConfiguration c;
  c.directory = fs::absolute(directory, error).lexically_normal();
  const fs::path file = c.directory / kFileName;
  Reader reader(file, loaded);
  std::ifstream in(file, std::ios::binary);
  if (!in || fs::is_directory(file, error)) {
    reader.fail(std::string("cannot read it (") +
                (fs::exists(file, error) ? "not a readable file" : "no such file") + ")");
    return loaded;
  }
  std::ostringstream text;
  text << in.rdbuf();
  json root;
  try {
    root = json::parse(text.str());
  } catch (const json::parse_error& e) {
    // "[json.exception.parse_error.101] parse error at line 2, column 1: ..."
    const std::string what = e.what();
    const std::size_t at = what.find(" at line ");
    reader.fail("not JSON" + (at == std::string::npos ? "" : " (" + what.substr(at + 4) + ")"));
    return loaded;
  }
  if (!root.is_object()) {
    reader.fail("not a JSON object");
    return loaded;
  }
  if (!reader.top(root, c) || !reader.desktop(root, c)) return loaded;
  if (c.summary.empty()) c.summary = c.appName;
  loaded.configuration = std::move(c);
  return loaded;
}

std::string AppConfiguration::toJson() const {
  const json out = {{"appId", appId},
                    {"appName", appName},
                    {"webDir", webDir.string()},
                    {"backgroundColor", backgroundColor},
                    {"linux",
                     {{"title", title},
                      {"width", width},
                      {"height", height},
                      {"minWidth", minWidth},
                      {"minHeight", minHeight},
                      {"schemes", schemes},
                      {"contentSecurityPolicy", contentSecurityPolicy},
                      {"version", version},
                      {"inspector", inspector},
                      {"icon", icon.string()},
                      {"summary", summary},
                      {"maintainer", maintainer}}}};
  return out.dump(2);
}

bool AppConfiguration::opens(std::string_view url) const {
  if (url.size() > kMaxURLBytes) return false;
  const std::size_t colon = url.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string scheme = lower(std::string(url.substr(0, colon)));
  return std::find(schemes.begin(), schemes.end(), scheme) != schemes.end();
}

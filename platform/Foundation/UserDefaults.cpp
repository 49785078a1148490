#include "platform/Foundation/UserDefaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/FileSystem.h"
#include "platform/Foundation/Log.h"
#include "platform/Foundation/MutexLock.h"

namespace platform {

// The file holds {"format": 1, "values": {key: value}}. A string is a JSON
// string and the null marker JSON null; everything else is a one-member
// object naming its kind, so that 1, 1u, 1.0 and true stay four different
// numbers: {"integer": -3}, {"unsigned": 3}, {"floating": 2.5},
// {"boolean": true}, {"date": <seconds since 2001-01-01>}. A floating value
// JSON cannot hold (infinity, NaN) is written as the text "inf", "-inf" or
// "nan".
namespace {

using json = nlohmann::json;

constexpr int kFormat = 1;

json encodeDouble(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  return d;
}

std::optional<double> decodeDouble(const json& j) {
  if (j.is_number()) return j.get<double>();
  if (j.is_string()) {
    const auto& s = j.get_ref<const std::string&>();
    if (s == "nan") return std::nan("");
    if (s == "inf") return HUGE_VAL;
    if (s == "-inf") return -HUGE_VAL;
  }
  return std::nullopt;
}

json encode(const Value& value) {
  struct Visitor {
    json operator()(const std::string& s) const { return s; }
    json operator()(Null) const { return nullptr; }
    json operator()(Date d) const {
      return {{"date", encodeDouble(d.timeIntervalSinceReferenceDate())}};
    }
    json operator()(const Number& n) const {
      switch (n.kind()) {
        case Number::Kind::Integer:
          return {{"integer", n.longLongValue()}};
        case Number::Kind::Unsigned:
          return {{"unsigned", n.unsignedLongLongValue()}};
        case Number::Kind::Floating:
          return {{"floating", encodeDouble(n.doubleValue())}};
        case Number::Kind::Boolean:
          return {{"boolean", n.boolValue()}};
      }
      return nullptr;
    }
  };
  return std::visit(Visitor{}, value);
}

std::optional<Value> decode(const json& j) {
  if (j.is_string()) return Value(j.get<std::string>());
  if (j.is_null()) return Value(kNull);
  if (!j.is_object() || j.size() != 1) return std::nullopt;
  const std::string& kind = j.begin().key();
  const json& v = j.begin().value();
  if (kind == "integer" && v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
      return std::nullopt;
    }
    return Value(Number(static_cast<long long>(v.get<int64_t>())));
  }
  if (kind == "unsigned" && v.is_number_unsigned()) {
    return Value(Number(static_cast<unsigned long long>(v.get<uint64_t>())));
  }
  if (kind == "boolean" && v.is_boolean()) return Value(Number(v.get<bool>()));
  if (kind == "floating") {
    if (auto d = decodeDouble(v)) return Value(Number(*d));
  }
  if (kind == "date") {
    if (auto d = decodeDouble(v)) return Value(Date::withTimeIntervalSinceReferenceDate(*d));
  }
  return std::nullopt;
}

// Reads the file; anything wrong with it reads as empty defaults (or as the
// entries that could be read), with one log line saying why.
Dictionary load(const std::string& path) {
  Dictionary values;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // No file yet is simply a first launch; anything else is worth a line.
    if (errno != ENOENT) {
      NSLog("Cannot read user defaults " + path + ": " + std::strerror(errno));
    }
    return values;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  const json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  const json* entries = nullptr;
  if (document.is_object()) {
    auto format = document.find("format");
    auto found = document.find("values");
    if (format != document.end() && *format == kFormat && found != document.end() &&
        found->is_object()) {
      entries = &*found;
    }
  }
  if (!entries) {
    NSLog("User defaults " + path + " are unreadable; starting with empty defaults");
    return values;
  }
  size_t skipped = 0;
  for (const auto& [key, encoded] : entries->items()) {
    if (auto value = decode(encoded)) {
      values.emplace(key, std::move(*value));
    } else {
      ++skipped;
    }
  }
  if (skipped > 0) {
    NSLog("User defaults " + path + ": skipped " + std::to_string(skipped) + " unreadable entries");
  }
  return values;
}

bool writeAll(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

UserDefaults& UserDefaults::standard() {
  // Built on first use, so the Library directory and the bundle are read then,
  // and never destroyed: other static objects may still use it at exit.
  static UserDefaults* const instance = [] {
    const std::string folder = libraryDirectory() + "/Preferences";
    if (!createDirectories(folder, 0700)) {
      NSLog("Cannot create " + folder + ": " + std::strerror(errno));
    }
    return new UserDefaults(folder + "/" + safeFileName(Bundle::main().identifier) + ".json");
  }();
  return *instance;
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)), values_(load(path_)) {}

std::optional<Value> UserDefaults::objectForKey(std::string_view key) const {
  MutexLock lock(mutex_);
  if (const Value* value = find(values_, key)) return *value;
  return std::nullopt;
}

void UserDefaults::setObject(std::string_view key, Value value) {
  MutexLock lock(mutex_);
  values_.insert_or_assign(std::string(key), std::move(value));
  writeLocked();
}

void UserDefaults::removeObject(std::string_view key) {
  MutexLock lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return;
  values_.erase(it);
  writeLocked();
}

bool UserDefaults::synchronize() {
  MutexLock lock(mutex_);
  return writeLocked();
}

Dictionary UserDefaults::dictionaryRepresentation() const {
  MutexLock lock(mutex_);
  return values_;
}

bool UserDefaults::writeLocked() {
  json entries = json::object();
  for (const auto& [key, value] : values_)
    entries[key] = encode(value);
  const json document = {{"format", kFormat}, {"values", entries}};
  // Text that is not UTF-8 cannot be JSON; it is stored with U+FFFD in place
  // of the bad bytes rather than not at all.
  const std::string text =
      document.dump(2, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace) + "\n";

  // The new contents go to a temporary file beside the old one, reach the
  // disk, and only then replace it: a crash or a full disk at any point
  // leaves either the old file or the new one, never a mix.
  std::string temporary = path_ + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    NSLog("Cannot write user defaults " + path_ + ": " + std::strerror(errno));
    return false;
  }
  bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), path_.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    NSLog("Cannot write user defaults " + path_ + ": " + std::strerror(error));
    return false;
  }
  // The rename itself is durable once the folder is on disk too.
  const int folder = ::open(parentOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

}  // namespace platform

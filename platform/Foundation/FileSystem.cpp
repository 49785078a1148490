#include "platform/Foundation/FileSystem.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/Environment.h"
#include "platform/Foundation/Log.h"

namespace platform {

namespace {

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string setting(std::string_view name) {
  return Environment::current()->setting(name);
}

std::string homeDirectory() {
  std::string home = setting("HOME");
  if (!home.empty()) return home;
  // A service started without HOME still has a password entry.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && *result->pw_dir) {
    return result->pw_dir;
  }
  return "/tmp";
}

std::string computeLibraryDirectory() {
  std::string path = setting("HALDEN_LIBRARY_DIR");
  if (path.empty()) {
    // The base directory convention ignores relative values of XDG_DATA_HOME.
    std::string data = setting("XDG_DATA_HOME");
    if (data.empty() || data.front() != '/') data = homeDirectory() + "/.local/share";
    path = data + "/" + safeFileName(Bundle::main().identifier) + "/Library";
  }
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  if (!createDirectories(path, 0700)) {
    NSLog("Cannot create the Library directory " + path + ": " + std::strerror(errno));
  }
  return path;
}

}  // namespace

const std::string& libraryDirectory() {
  // A function-local static: computed once, and thread-safe by the language.
  // Never destroyed: the worker thread may still read it while the process
  // exits and static objects go.
  static const std::string& path = *new std::string(computeLibraryDirectory());
  return path;
}

bool createDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  if (isDirectory(path)) return true;
  // Walk the components from the root so that every missing parent is made
  // with the same mode: a private directory must not sit in a readable parent
  // we created ourselves.
  size_t position = 0;
  while (position != std::string::npos) {
    position = path.find('/', position + 1);
    std::string prefix = path.substr(0, position);
    if (prefix.empty() || prefix.back() == '/') continue;
    if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) == 0) {
      // mkdir's mode passes through the umask; the caller asked for this one.
      ::chmod(prefix.c_str(), static_cast<mode_t>(mode));
    } else if (errno != EEXIST) {
      return false;
    }
  }
  if (isDirectory(path)) return true;
  errno = ENOTDIR;
  return false;
}

std::string safeFileName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    out += plain ? c : '_';
  }
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

}  // namespace platform

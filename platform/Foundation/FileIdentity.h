#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

namespace platform {

// Which file a path names (its device and inode), to tell a file a
// connection opened from one moved or put in its place under the same name.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;

  // The file the path names now; nothing when it names none.
  static std::optional<FileIdentity> of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
  }

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace platform

#pragma once

#include <string>
#include <string_view>

namespace platform {

// The application's Library directory: $HALDEN_LIBRARY_DIR when set and not
// empty, or else ${XDG_DATA_HOME:-$HOME/.local/share}/<bundle identifier>/Library.
// Created (with its parents) with mode 0700 on first use; a failure to create
// it is logged and the path is still answered. Read once per process. Safe
// from any thread.
const std::string& libraryDirectory();

// Creates a directory and its missing parents with the given mode; answers
// whether the directory exists afterwards (errno tells why not).
bool createDirectories(const std::string& path, unsigned mode = 0700);

// The name made safe as one path component: anything but letters, digits,
// '.', '-' and '_' becomes '_', and "", "." and ".." gain a leading '_'. A
// bundle identifier read from a file must never climb out of its folder.
std::string safeFileName(std::string_view name);

}  // namespace platform

#pragma once

#include <string>

namespace platform {

// The application's Library directory: $HALDEN_LIBRARY_DIR, or else
// ${XDG_DATA_HOME:-$HOME/.local/share}/<bundle identifier>/Library. Created
// (with its parents) with mode 0700 on first use. Read once per process.
// Safe from any thread.
const std::string& libraryDirectory();

// Creates a directory and its missing parents with the given mode; answers
// whether the directory exists afterwards.
bool createDirectories(const std::string& path, unsigned mode = 0700);

}  // namespace platform

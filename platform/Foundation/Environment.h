#pragma once

/// @file
/// platform::Environment: the settings and clocks the library reads.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Foundation/Date.h"

namespace platform {

/// Where the library reads the time of day, the clock its timers run on, and
/// its settings (the collection origins, the extra certificate authority, the
/// Library directory, the screen size, the locale variables). The process has
/// one current environment; the default reads the system clocks and the
/// process's environment variables. A host or a test installs its own, with
/// clocks it steps and settings it owns.
///
/// Threads: any thread may read the current environment or install another;
/// an implementation answers from any thread at once.
class Environment {
 public:
  /// Destroys the environment.
  virtual ~Environment() = default;

  /// The setting `name` ("HALDEN_LIBRARY_DIR", "LANG", ...); empty when it is
  /// not set, an empty value being the same as none.
  virtual std::string setting(std::string_view name) const = 0;
  /// The time of day.
  virtual Date now() const = 0;
  /// The clock timers and run-loop deadlines count on: it never goes back.
  virtual std::chrono::steady_clock::time_point uptime() const = 0;

  /// The environment in use. Held by the caller for as long as it reads it,
  /// so that installing another meanwhile frees nothing under it.
  static std::shared_ptr<const Environment> current();
  /// Makes `environment` current (null: the default); answers the one it
  /// replaces. Install before anything reads a setting: some are read once,
  /// when first needed (the Library directory).
  static std::shared_ptr<const Environment> install(std::shared_ptr<const Environment> environment);
  /// The process's environment variables and the system clock.
  static std::shared_ptr<const Environment> processDefault();
};

}  // namespace platform

#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/Value.h"

namespace platform {

// The application's user defaults: a small dictionary of values kept in one
// file, "<Library>/Preferences/<bundle identifier>.json", written atomically
// (a temporary file in the same folder, flushed, then renamed over the old).
// Every kind of Value survives a reload, numbers with their kind. A missing
// file reads as empty; a corrupt one too (or as its readable entries), with a
// log line; neither is ever a failure.
//
// Threads: safe from any thread; one mutex guards the values and the file.
class UserDefaults {
 public:
  // The defaults of the main bundle in the Library directory, loaded on first
  // use (the Preferences folder is made then, mode 0700). Never destroyed.
  static UserDefaults& standard();

  // Defaults kept in the given file (tests, tools); reads it now.
  explicit UserDefaults(std::string path);

  std::optional<Value> objectForKey(std::string_view key) const;
  // Stores the value and writes the file at once. A failed write is logged
  // and the value stays in memory: synchronize() or the next set retries.
  void setObject(std::string_view key, Value value);
  void removeObject(std::string_view key);
  // Writes the values to the file; answers whether that succeeded.
  bool synchronize();

  // A copy of every value.
  Dictionary dictionaryRepresentation() const;

  const std::string& path() const { return path_; }

 private:
  bool writeLocked() HALDEN_REQUIRES(mutex_);

  std::string path_;
  mutable Mutex mutex_;
  Dictionary values_ HALDEN_GUARDED_BY(mutex_);
};

}  // namespace platform

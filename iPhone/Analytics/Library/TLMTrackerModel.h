#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Foundation/Value.h"

class TLMDataStore;

// The fields of one tracker, and the finished hit dictionary built from them:
// computed values for device and identity keys, then the fields (which start
// as the default parameters describing the application and the library),
// then the forced version values, then the stored client id where "&cid" is
// empty, and a fresh cache buster "&z".
//
// Threads: a model's fields are changed only under its tracker's lock; a
// snapshot made by copyWithOverride() belongs to whoever it was handed to,
// in practice the dispatcher on "TLMThread", where buildDictionary() runs.
// The process-wide tables are built once and then only read; the screen-view
// number and the cache buster are atomics, advanced from any thread.
class TLMTrackerModel {
 public:
  // A model on the given hit store; with none it logs a warning and opens a
  // store of its own.
  explicit TLMTrackerModel(std::shared_ptr<TLMDataStore> dataStore);
  TLMTrackerModel(const TLMTrackerModel&) = default;  // same store, fields and flags
  TLMTrackerModel& operator=(const TLMTrackerModel&) = default;

  // The stored field (possibly the null marker), else the key's computed
  // value, computed now, else nothing.
  std::optional<platform::Value> objectForKeyedSubscript(std::string_view key) const;
  // Stores a field; no value stores the null marker, which hides the key's
  // default and computed values. Fields are never removed this way.
  void setObject(std::optional<platform::Value> value, std::string_view key);
  std::optional<platform::Value> valueForKey(std::string_view key) const {
    return objectForKeyedSubscript(key);
  }
  void setValue(std::optional<platform::Value> value, std::string_view key) {
    setObject(std::move(value), key);
  }

  // A copy whose fields are overlaid with `parameters` (theirs win).
  std::shared_ptr<TLMTrackerModel> copyWithOverride(const platform::Dictionary& parameters) const;

  // The finished hit parameters.
  platform::Dictionary buildDictionary() const;

  // Advances the process-wide screen-view number, wrapping to 1 after
  // 2147483647.
  void willSendScreenView();

  // Computed values; nothing where the value is unavailable.
  std::optional<std::string> language() const;
  std::optional<std::string> deviceModelVersion() const;
  std::optional<std::string> screenResolution() const;
  std::optional<std::string> dataSource() const;
  std::optional<std::string> clientId() const;
  std::optional<std::string> vexoId() const;
  std::optional<std::string> crc() const;
  std::optional<std::string> idfa() const;
  std::optional<std::string> adTargetingEnabled() const;
  std::string cacheBuster() const;

  bool allowIDFACollection() const { return allowIDFACollection_; }
  void setAllowIDFACollection(bool allow) { allowIDFACollection_ = allow; }
  bool allowAdPersonalizationSignals() const { return allowAdPersonalizationSignals_; }
  // Allowing removes "&npa" from the fields; disallowing stores "&npa" = "1".
  void setAllowAdPersonalizationSignals(bool allow);

  const platform::Dictionary& parameters() const { return parameters_; }
  const std::shared_ptr<TLMDataStore>& dataStore() const { return dataStore_; }

  // A member that computes a field's value.
  using ComputedValue = std::optional<std::string> (TLMTrackerModel::*)() const;

  // The process-wide tables. methodsForKeys() pairs each computed key with
  // its member, in the order of the required keys ("&ul" first, "&ds" last;
  // "&idfa" and "&ate" only when the advertising-identifier class is there).
  const platform::Dictionary& defaultParameters() const;
  const platform::Dictionary& forcedParameters() const;
  const std::vector<std::string>& requiredParameters() const;
  const std::vector<std::pair<std::string, ComputedValue>>& methodsForKeys() const;

  // The screen-view number, for tests and diagnostics; setting it is how a
  // test reaches the wrap-around.
  static int32_t screenViewNumber();
  static void setScreenViewNumber(int32_t value);

 private:
  bool allowIDFACollection_ = false;
  bool allowAdPersonalizationSignals_ = true;
  platform::Dictionary parameters_;
  std::shared_ptr<TLMDataStore> dataStore_;
};

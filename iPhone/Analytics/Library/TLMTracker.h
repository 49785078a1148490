#pragma once

/// @file
/// TLMTracker: the interface of a tracker, which sends hits for one tracking id.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Foundation/Value.h"

/// A tracker: sends hits for one tracking id. Values set on it are sent with
/// every later hit; a hit's own parameters win over them for that hit.
///
/// The public operations record themselves for the usage sequence ("&_u");
/// the tlm_ forms do the same work unrecorded and are what the library itself
/// (the tracked view controller, the exception handler, the service root) uses.
/// Threads: any thread; an implementation serialises its own state.
class TLMTracker {
 public:
  /// Destroys the tracker.
  virtual ~TLMTracker() = default;

  /// Sets a field; no value stores the null marker, which hides the default
  /// and computed values of the key.
  virtual void set(std::string_view key, std::optional<platform::Value> value) = 0;
  /// The field's value when it is a string, else nothing.
  virtual std::optional<std::string> get(std::string_view key) = 0;
  /// Sends a hit: the tracker's fields overlaid with these parameters
  /// (TLMDictionaryBuilder makes them). The hit is stored, and sent with a
  /// later dispatch.
  virtual void send(const platform::Dictionary& parameters) = 0;
  /// The name the tracker is registered under.
  virtual const std::string& name() const = 0;

  /// Whether hits carry the advertising identifier ("&idfa") when there is one.
  virtual bool allowIDFACollection() = 0;
  /// Allows or forbids sending the advertising identifier.
  virtual void setAllowIDFACollection(bool allow) = 0;
  /// Whether ads may be personalised from this user's hits.
  virtual bool allowAdPersonalizationSignals() = 0;
  /// Allows or forbids ad personalisation.
  virtual void setAllowAdPersonalizationSignals(bool allow) = 0;

  /// set(), unrecorded.
  virtual void tlm_set(std::string_view key, std::optional<platform::Value> value) = 0;
  /// get(), unrecorded.
  virtual std::optional<std::string> tlm_get(std::string_view key) = 0;
  /// send(), unrecorded.
  virtual void tlm_send(const platform::Dictionary& parameters) = 0;
};

#pragma once

/// @file
/// TLMLogger: the interface of the library's logger, and its levels.

#include <string>

/// How much the library logs: a logger writes messages at its level and
/// the levels before it.
enum TLMLogLevel : unsigned {
  TLMLogLevelNone = 0,  ///< Nothing.
  TLMLogLevelError = 1,  ///< Errors only.
  TLMLogLevelWarning = 2,  ///< Warnings and errors.
  TLMLogLevelInfo = 3,  ///< Information, warnings and errors.
  TLMLogLevelVerbose = 4,  ///< Everything, with the library's step-by-step detail.
};

/// A logger of the library's messages. The service root holds the one in use;
/// it may be called from any thread at once, so an implementation must be safe
/// for concurrent use.
class TLMLogger {
 public:
  /// Destroys the logger.
  virtual ~TLMLogger() = default;
  /// Logs a step-by-step detail, if the level is TLMLogLevelVerbose.
  virtual void verbose(const std::string& message) = 0;
  /// Logs information, if the level is TLMLogLevelInfo or above.
  virtual void info(const std::string& message) = 0;
  /// Logs a warning, if the level is TLMLogLevelWarning or above.
  virtual void warning(const std::string& message) = 0;
  /// Logs an error, if the level is TLMLogLevelError or above.
  virtual void error(const std::string& message) = 0;
  /// The level in use.
  virtual TLMLogLevel logLevel() const = 0;
  /// Sets the level in use.
  virtual void setLogLevel(TLMLogLevel level) = 0;
};

#pragma once

/// @file
/// TLMDefaultLogger: the library's logger when the application sets none.

#include <atomic>

#include "TLMLogger.h"

/// Writes messages at or above its level to the system log, one line each, as
/// "ERROR: ...", "WARNING: ...", "INFO: ..." or "VERBOSE: ...".
/// Threads: any thread; the level is one atomic word and takes no lock.
class TLMDefaultLogger : public TLMLogger {
 public:
  /// Writes "VERBOSE: <message>" at the verbose level.
  void verbose(const std::string& message) override;
  /// Writes "INFO: <message>" at the info level or above.
  void info(const std::string& message) override;
  /// Writes "WARNING: <message>" at the warning level or above.
  void warning(const std::string& message) override;
  /// Writes "ERROR: <message>" at any level but none.
  void error(const std::string& message) override;
  /// The level at and above which messages are written; TLMLogLevelWarning
  /// at first.
  TLMLogLevel logLevel() const override { return logLevel_.load(std::memory_order_relaxed); }
  /// Sets the level at and above which messages are written.
  void setLogLevel(TLMLogLevel level) override {
    logLevel_.store(level, std::memory_order_relaxed);
  }

 private:
  void emit(TLMLogLevel level, const char* prefix, const std::string& message);

  std::atomic<TLMLogLevel> logLevel_{TLMLogLevelWarning};
};

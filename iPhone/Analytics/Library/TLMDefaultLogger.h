#pragma once

#include <atomic>

#include "TLMLogger.h"

// Writes messages at or above its level to the system log, one line each, as
// "ERROR: ...", "WARNING: ...", "INFO: ..." or "VERBOSE: ...".
// Threads: any thread; the level is one atomic word and takes no lock.
class TLMDefaultLogger : public TLMLogger {
 public:
  void verbose(const std::string& message) override;
  void info(const std::string& message) override;
  void warning(const std::string& message) override;
  void error(const std::string& message) override;
  TLMLogLevel logLevel() const override { return logLevel_.load(std::memory_order_relaxed); }
  void setLogLevel(TLMLogLevel level) override {
    logLevel_.store(level, std::memory_order_relaxed);
  }

 private:
  void emit(TLMLogLevel level, const char* prefix, const std::string& message);

  std::atomic<TLMLogLevel> logLevel_{TLMLogLevelWarning};
};

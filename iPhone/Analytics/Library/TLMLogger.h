#pragma once

#include <string>

enum TLMLogLevel : unsigned {
  TLMLogLevelNone = 0,
  TLMLogLevelError = 1,
  TLMLogLevelWarning = 2,
  TLMLogLevelInfo = 3,
  TLMLogLevelVerbose = 4,
};

// A logger of the library's messages. The service root holds the one in use;
// it may be called from any thread at once, so an implementation must be safe
// for concurrent use.
class TLMLogger {
 public:
  virtual ~TLMLogger() = default;
  virtual void verbose(const std::string& message) = 0;
  virtual void info(const std::string& message) = 0;
  virtual void warning(const std::string& message) = 0;
  virtual void error(const std::string& message) = 0;
  virtual TLMLogLevel logLevel() const = 0;
  virtual void setLogLevel(TLMLogLevel level) = 0;
};

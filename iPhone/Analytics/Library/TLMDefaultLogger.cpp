#include "TLMDefaultLogger.h"

#include "platform/Foundation/Log.h"

void TLMDefaultLogger::emit(TLMLogLevel level, const char* prefix, const std::string& message) {
  // Read through the accessor, so that a subclass overriding it governs the
  // filtering.
  if (logLevel() < level) return;
  std::string line(prefix);
  line += message;
  platform::NSLog(line);
}

void TLMDefaultLogger::verbose(const std::string& message) {
  emit(TLMLogLevelVerbose, "VERBOSE: ", message);
}
void TLMDefaultLogger::info(const std::string& message) {
  emit(TLMLogLevelInfo, "INFO: ", message);
}
void TLMDefaultLogger::warning(const std::string& message) {
  emit(TLMLogLevelWarning, "WARNING: ", message);
}
void TLMDefaultLogger::error(const std::string& message) {
  emit(TLMLogLevelError, "ERROR: ", message);
}

#include "TLMLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "TLM.h"
#include "TLMVersion.h"

namespace {

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, format, args);
  return out;
}

const char* lastPathComponent(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void deliver(TLMLogger& logger, TLMLogLevel level, const std::string& message) {
  switch (level) {
    case TLMLogLevelError:
      logger.error(message);
      break;
    case TLMLogLevelWarning:
      logger.warning(message);
      break;
    case TLMLogLevelInfo:
      logger.info(message);
      break;
    case TLMLogLevelVerbose:
      logger.verbose(message);
      break;
    case TLMLogLevelNone:
      break;
  }
}

}  // namespace

std::string TLMFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = vformat(format, args);
  va_end(args);
  return out;
}

std::shared_ptr<TLMLogger> TLMLoggerFor(TLMLogLevel level) {
  std::shared_ptr<TLMLogger> logger = TLM::sharedLogger();
  if (!logger || logger->logLevel() < level) return nullptr;
  return logger;
}

void TLMLogLine(TLMLogger& logger, TLMLogLevel level, const char* function, const char* file,
                int line, const char* format, ...) {
  std::string message = TLMFormat("%s %s %s (%s:%d): ", kTLMProductName, kTLMLibraryBuildVersion,
                                  function, lastPathComponent(file), line);
  va_list args;
  va_start(args, format);
  message += vformat(format, args);
  va_end(args);
  deliver(logger, level, message);
}

void TLMLogBare(TLMLogLevel level, const std::string& message) {
  if (std::shared_ptr<TLMLogger> logger = TLMLoggerFor(level)) deliver(*logger, level, message);
}

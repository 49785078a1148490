#pragma once

#include <memory>
#include <string>

#include "TLMLogger.h"

// Logging through the service root's shared logger in the library's common
// line format: "HaldenAnalytics 3.20 <function signature> (<file>:<line>): "
// followed by the message. The message is a printf format; "%s" arguments
// are C strings (use TLMLogText(...) for std::string and absent values).
//
//   TLM_LOG_ERROR("Cannot initiate dispatcher: %s", "(null)");
//
// The logger is asked for its level first: a line it would not write is
// neither formatted nor are its arguments evaluated (a hit's description
// for "Saved hit" costs more than the rest of storing it). Nothing is
// formatted when no logger is set.
#define TLM_LOG(level, ...)                                                                  \
  do {                                                                                       \
    if (std::shared_ptr<TLMLogger> tlmLogger = TLMLoggerFor(level)) {                        \
      TLMLogLine(*tlmLogger, (level), __PRETTY_FUNCTION__, __FILE__, __LINE__, __VA_ARGS__); \
    }                                                                                        \
  } while (false)
#define TLM_LOG_ERROR(...) TLM_LOG(TLMLogLevelError, __VA_ARGS__)
#define TLM_LOG_WARNING(...) TLM_LOG(TLMLogLevelWarning, __VA_ARGS__)
#define TLM_LOG_INFO(...) TLM_LOG(TLMLogLevelInfo, __VA_ARGS__)
#define TLM_LOG_VERBOSE(...) TLM_LOG(TLMLogLevelVerbose, __VA_ARGS__)

// The shared logger when it writes lines of `level`, else null.
std::shared_ptr<TLMLogger> TLMLoggerFor(TLMLogLevel level);

void TLMLogLine(TLMLogger& logger, TLMLogLevel level, const char* function, const char* file,
                int line, const char* format, ...) __attribute__((format(printf, 6, 7)));

// Hands a bare message, without the common prefix, to the shared logger at
// the given level (the builders' argument checks log this way).
void TLMLogBare(TLMLogLevel level, const std::string& message);

// Formats like snprintf into a std::string.
std::string TLMFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

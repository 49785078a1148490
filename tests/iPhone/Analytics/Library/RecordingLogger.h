#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "TLMLogger.h"

// A logger that keeps every message it is handed, whatever its level.
class RecordingLogger : public TLMLogger {
 public:
  struct Line {
    TLMLogLevel level;
    std::string message;
  };

  void verbose(const std::string& m) override { add(TLMLogLevelVerbose, m); }
  void info(const std::string& m) override { add(TLMLogLevelInfo, m); }
  void warning(const std::string& m) override { add(TLMLogLevelWarning, m); }
  void error(const std::string& m) override { add(TLMLogLevelError, m); }
  TLMLogLevel logLevel() const override { return level_; }
  void setLogLevel(TLMLogLevel level) override { level_ = level; }

  std::vector<Line> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // How many messages at `level` end with `suffix`.
  int count(TLMLogLevel level, const std::string& suffix) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const Line& l) {
      return l.level == level && l.message.size() >= suffix.size() &&
             l.message.compare(l.message.size() - suffix.size(), suffix.size(), suffix) == 0;
    }));
  }

 private:
  void add(TLMLogLevel level, const std::string& m) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({level, m});
  }
  std::mutex mutex_;
  std::vector<Line> lines_;
  std::atomic<TLMLogLevel> level_{TLMLogLevelVerbose};
};

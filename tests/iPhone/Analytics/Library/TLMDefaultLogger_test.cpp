#include "TLMDefaultLogger.h"

#include <gtest/gtest.h>

#include "RecordingDispatcher.h"
#include "RecordingLogger.h"
#include "TLM.h"
#include "TLMLog.h"
#include "support/TestSupport.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

std::string logAtEveryLevel(TLMDefaultLogger& logger) {
  CaptureStderr();
  logger.error("e-message");
  logger.warning("w-message");
  logger.info("i-message");
  logger.verbose("v-message");
  return GetCapturedStderr();
}

TEST(TLMDefaultLogger, EmitsWarningsAndErrorsByDefault) {
  TLMDefaultLogger logger;
  EXPECT_EQ(logger.logLevel(), TLMLogLevelWarning);
  const std::string out = logAtEveryLevel(logger);
  EXPECT_NE(out.find("ERROR: e-message\n"), std::string::npos) << out;
  EXPECT_NE(out.find("WARNING: w-message\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("i-message"), std::string::npos) << out;
  EXPECT_EQ(out.find("v-message"), std::string::npos) << out;
}

TEST(TLMDefaultLogger, LevelNoneIsSilentAndAboveVerboseEmitsAll) {
  TLMDefaultLogger logger;
  logger.setLogLevel(TLMLogLevelNone);
  EXPECT_EQ(logAtEveryLevel(logger), "");
  logger.setLogLevel(static_cast<TLMLogLevel>(7));
  const std::string out = logAtEveryLevel(logger);
  EXPECT_NE(out.find("INFO: i-message"), std::string::npos) << out;
  EXPECT_NE(out.find("VERBOSE: v-message"), std::string::npos) << out;
}

TEST(TLMDefaultLogger, FiltersThroughAnOverriddenLevel) {
  struct Quiet : TLMDefaultLogger {
    TLMLogLevel logLevel() const override { return TLMLogLevelNone; }
  } logger;
  EXPECT_EQ(logAtEveryLevel(logger), "");
}

TEST(TLMLog, CommonLineFormat) {
  testing_support::TempLibraryDir library;
  installRecordingDispatcher();
  auto logger = std::make_shared<RecordingLogger>();
  TLM::sharedInstance().setLogger(logger);
  const int line = __LINE__ + 1;
  TLM_LOG_WARNING("value %d of %s", 7, "x");
  auto lines = logger->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, TLMLogLevelWarning);
  const std::string& m = lines[0].message;
  EXPECT_EQ(m.rfind("HaldenAnalytics 3.20 ", 0), 0u) << m;
  EXPECT_NE(m.find("TestBody()"), std::string::npos) << "the function's signature: " << m;
  const std::string tail =
      " (TLMDefaultLogger_test.cpp:" + std::to_string(line) + "): value 7 of x";
  EXPECT_EQ(m.substr(m.size() - tail.size()), tail) << m;
}

TEST(TLMLog, LongMessagesAreKeptWhole) {
  testing_support::TempLibraryDir library;
  installRecordingDispatcher();
  auto logger = std::make_shared<RecordingLogger>();
  TLM::sharedInstance().setLogger(logger);
  const std::string big(100000, 'x');
  TLM_LOG_ERROR("%s", big.c_str());
  ASSERT_EQ(logger->lines().size(), 1u);
  EXPECT_EQ(logger->lines()[0].message.substr(logger->lines()[0].message.size() - big.size()), big);
}

TEST(TLMLog, ALineAboveTheLoggersLevelIsNeitherBuiltNorHandedOver) {
  testing_support::TempLibraryDir library;
  installRecordingDispatcher();
  auto logger = std::make_shared<RecordingLogger>();
  logger->setLogLevel(TLMLogLevelWarning);
  TLM::sharedInstance().setLogger(logger);
  int described = 0;
  auto describe = [&] {
    ++described;
    return std::string("a costly description");
  };
  TLM_LOG_VERBOSE("Saved hit: %s", describe().c_str());
  TLM_LOG_INFO("%s", describe().c_str());
  EXPECT_EQ(described, 0);
  EXPECT_TRUE(logger->lines().empty());

  // What the logger asks for it still gets, every line of it.
  TLM_LOG_WARNING("%s", describe().c_str());
  logger->setLogLevel(TLMLogLevelVerbose);
  TLM_LOG_VERBOSE("Saved hit: %s", describe().c_str());
  EXPECT_EQ(described, 2);
  ASSERT_EQ(logger->lines().size(), 2u);
  EXPECT_EQ(logger->lines()[1].level, TLMLogLevelVerbose);
}

}  // namespace

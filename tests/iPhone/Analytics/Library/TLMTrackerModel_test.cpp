#include "TLMTrackerModel.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "RecordingDispatcher.h"
#include "RecordingLogger.h"
#include "TLMDataStore.h"
#include "TLMFields.h"
#include "TLMHitUtil.h"
#include "TLMTrackerImpl.h"
#include "TLMUsageTracker.h"
#include "platform/AdSupport/AdvertisingIdentifierAccess.h"
#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/ClassRegistry.h"
#include "platform/Foundation/Date.h"
#include "support/TestSupport.h"

namespace {

using platform::Dictionary;
using platform::Value;

std::optional<std::string> stringAt(const Dictionary& d, std::string_view key) {
  const Value* v = platform::find(d, key);
  if (!v) return std::nullopt;
  if (const std::string* s = platform::stringIf(*v)) return *s;
  return "<" + platform::description(*v) + ">";
}

std::set<std::string> keysOf(const Dictionary& d) {
  std::set<std::string> keys;
  for (const auto& [k, v] : d)
    keys.insert(k);
  return keys;
}

// An advertising-identifier class whose answers a test changes.
class FakeAdIdAccess : public platform::AdvertisingIdentifierAccess {
 public:
  std::optional<std::string> retrieveId() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return id_;
  }
  int retrieveTrackingFlag() override { return flag_; }
  void setId(std::optional<std::string> id) {
    std::lock_guard<std::mutex> lock(mutex_);
    id_ = std::move(id);
  }
  std::atomic<int> flag_{1};

 private:
  std::mutex mutex_;
  std::optional<std::string> id_ = "AD-ID-1";
};

class TLMTrackerModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::setMain({"Demo App", "org.example.demo", "1.2"});
    installRecordingDispatcher();
    logger_ = std::make_shared<RecordingLogger>();
    TLM::sharedInstance().setLogger(logger_);
    store_ = TLMDataStore::dataStore();
  }

  TLMTrackerModel model() { return TLMTrackerModel(store_); }

  testing_support::TempLibraryDir library_;
  std::shared_ptr<RecordingLogger> logger_;
  std::shared_ptr<TLMDataStore> store_;
};

TEST_F(TLMTrackerModelTest, AScreenViewCarriesExactlyTheExpectedKeys) {
  auto dispatcher = std::make_shared<RecordingDispatcher>(store_);
  auto tracker = TLMTrackerImpl::trackerWithDispatcher(dispatcher, "main");
  tracker->tlm_set(kTLMTrackingId, std::string("UA-1"));
  TLMUsageTracker::getUsageSequence();
  tracker->set(kTLMScreenName, std::string("Home"));
  tracker->send({{kTLMHitType, std::string(kTLMScreenView)}});

  ASSERT_EQ(dispatcher->hits().size(), 1u);
  const Dictionary hit = dispatcher->hits()[0];
  const std::set<std::string> expected = {"&an",  "&av", "&aid", "tlmVersion",  // defaults
                                          "&ul",  "&dm", "&sr",  "&a",         "&_crc",
                                          "&cid", "&ds",  // computed
                                          "&_v",  "&v",   // forced
                                          "&tid", "&cd", "&t",   "&_u",        "&z"};
  EXPECT_EQ(keysOf(hit), expected);
  EXPECT_EQ(stringAt(hit, "&an"), "Demo App");
  EXPECT_EQ(stringAt(hit, "&av"), "1.2");
  EXPECT_EQ(stringAt(hit, "&aid"), "org.example.demo");
  EXPECT_EQ(stringAt(hit, "tlmVersion"), "3.20");
  EXPECT_EQ(stringAt(hit, "&ul"), TLMHitUtil::systemLanguage());
  EXPECT_EQ(stringAt(hit, "&dm"), TLMHitUtil::deviceModelVersion());
  EXPECT_EQ(stringAt(hit, "&sr"), TLMHitUtil::systemScreenResolution());
  EXPECT_EQ(stringAt(hit, "&a"), std::to_string(TLMTrackerModel::screenViewNumber()));
  EXPECT_EQ(stringAt(hit, "&_crc"), "0");
  EXPECT_EQ(stringAt(hit, "&cid"), store_->clientId());
  EXPECT_EQ(stringAt(hit, "&cid")->size(), 36u);
  EXPECT_EQ(stringAt(hit, "&ds"), "app");
  EXPECT_EQ(stringAt(hit, "&_v"), "mi3.2.0");
  EXPECT_EQ(stringAt(hit, "&v"), "1");
  EXPECT_EQ(stringAt(hit, "&tid"), "UA-1");
  EXPECT_EQ(stringAt(hit, "&cd"), "Home");
  EXPECT_EQ(stringAt(hit, "&t"), "screenview");
  EXPECT_EQ(stringAt(hit, "&_u"), ".KL");
}

TEST_F(TLMTrackerModelTest, PrecedenceComputedThenFieldsThenHitThenForced) {
  TLMTrackerModel m = model();
  m.setObject(std::string("tracker-sr"), "&sr");
  m.setObject(std::string("tracker-ul"), "&ul");
  m.setObject(std::string("tracker-v"), "&v");
  auto snapshot = m.copyWithOverride({{"&ul", std::string("hit-ul")},
                                      {"&_v", std::string("hit-v")},
                                      {"&ds", std::string("hit-ds")}});
  const Dictionary d = snapshot->buildDictionary();
  EXPECT_EQ(stringAt(d, "&sr"), "tracker-sr") << "fields beat computed values";
  EXPECT_EQ(stringAt(d, "&ul"), "hit-ul") << "the hit beats the fields";
  EXPECT_EQ(stringAt(d, "&ds"), "hit-ds") << "the hit beats computed values";
  EXPECT_EQ(stringAt(d, "&v"), "1") << "forced values beat everything";
  EXPECT_EQ(stringAt(d, "&_v"), "mi3.2.0");
  EXPECT_EQ(stringAt(m.buildDictionary(), "&ul"), "tracker-ul") << "the model is unchanged";
}

TEST_F(TLMTrackerModelTest, ClientIdFallsBackToTheStoredOne) {
  TLMTrackerModel m = model();
  m.setObject(std::string(""), kTLMClientId);
  EXPECT_EQ(stringAt(m.buildDictionary(), kTLMClientId), store_->clientId());
  m.setObject(std::nullopt, kTLMClientId);
  EXPECT_EQ(stringAt(m.buildDictionary(), kTLMClientId), store_->clientId());
  m.setObject(std::string("my-client"), kTLMClientId);
  EXPECT_EQ(stringAt(m.buildDictionary(), kTLMClientId), "my-client");
}

TEST_F(TLMTrackerModelTest, TheNullMarkerHidesDefaultsAndComputedValues) {
  TLMTrackerModel m = model();
  m.setObject(std::nullopt, "&sr");
  m.setObject(std::nullopt, "&an");
  auto sr = m.objectForKeyedSubscript("&sr");
  ASSERT_TRUE(sr);
  EXPECT_TRUE(platform::isNull(*sr));
  const Dictionary d = m.buildDictionary();
  EXPECT_EQ(stringAt(d, "&sr"), "<<null>>");
  EXPECT_EQ(stringAt(d, "&an"), "<<null>>");
  auto hidden = m.copyWithOverride({{"&ul", platform::kNull}})->buildDictionary();
  EXPECT_EQ(stringAt(hidden, "&ul"), "<<null>>") << "a hit's null hides the computed value";
}

TEST_F(TLMTrackerModelTest, LookupAnswersFieldsThenComputedValuesThenNothing) {
  TLMTrackerModel m = model();
  EXPECT_EQ(m.objectForKeyedSubscript("&sr"), Value(TLMHitUtil::systemScreenResolution()));
  EXPECT_EQ(m.objectForKeyedSubscript("&ds"), Value(std::string("app")));
  EXPECT_EQ(m.objectForKeyedSubscript("&an"), Value(std::string("Demo App")));
  EXPECT_EQ(m.objectForKeyedSubscript("&nothing"), std::nullopt);
  EXPECT_EQ(m.objectForKeyedSubscript(""), std::nullopt);
}

TEST_F(TLMTrackerModelTest, CacheBusterIncreasesByOnePerDictionary) {
  TLMTrackerModel m = model();
  const uint64_t first = std::stoull(*stringAt(m.buildDictionary(), "&z"));
  const uint64_t second = std::stoull(*stringAt(m.buildDictionary(), "&z"));
  EXPECT_EQ(second, first + 1);
  auto hit = m.copyWithOverride({{"&z", std::string("7")}})->buildDictionary();
  EXPECT_EQ(std::stoull(*stringAt(hit, "&z")), first + 2) << "nothing overrides the cache buster";
}

TEST_F(TLMTrackerModelTest, ScreenViewNumberWrapsToOne) {
  TLMTrackerModel m = model();
  const int32_t seed = TLMTrackerModel::screenViewNumber();
  EXPECT_GE(seed, 1);
  EXPECT_LE(seed, 2147483646);
  TLMTrackerModel::setScreenViewNumber(2147483646);
  m.willSendScreenView();
  EXPECT_EQ(stringAt(m.buildDictionary(), "&a"), "2147483647");
  m.willSendScreenView();
  EXPECT_EQ(stringAt(m.buildDictionary(), "&a"), "1");
}

TEST_F(TLMTrackerModelTest, ConcurrentScreenViewsAreAllCounted) {
  TLMTrackerModel::setScreenViewNumber(1000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      TLMTrackerModel m = model();
      for (int i = 0; i < 5000; ++i)
        m.willSendScreenView();
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(TLMTrackerModel::screenViewNumber(), 21000);
}

TEST_F(TLMTrackerModelTest, AdPersonalisationSignalsToggleNpa) {
  TLMTrackerModel m = model();
  EXPECT_FALSE(platform::find(m.buildDictionary(), "&npa"));
  m.setAllowAdPersonalizationSignals(false);
  EXPECT_EQ(stringAt(m.buildDictionary(), "&npa"), "1");
  EXPECT_EQ(stringAt(m.copyWithOverride({})->buildDictionary(), "&npa"), "1");
  m.setAllowAdPersonalizationSignals(true);
  EXPECT_FALSE(platform::find(m.buildDictionary(), "&npa"));
}

TEST_F(TLMTrackerModelTest, WithoutTheAdIdClassNoAdKeysAreRequired) {
  TLMTrackerModel m = model();
  m.setAllowIDFACollection(true);
  const Dictionary d = m.buildDictionary();
  EXPECT_FALSE(platform::find(d, "&idfa"));
  EXPECT_FALSE(platform::find(d, "&ate"));
  const auto& required = m.requiredParameters();
  const std::vector<std::string> expected = {"&ul", "&dm",  "&sr", "&a",  "&_crc",     "&cid",
                                             "&ds", "&aid", "&an", "&av", "tlmVersion"};
  EXPECT_EQ(required, expected);
  EXPECT_EQ(logger_->count(TLMLogLevelVerbose, "idfa class missing, won't collect idfa"), 1);

  // The computed keys lead the required ones, each with the member that
  // computes what a lookup of the key answers.
  const auto& methods = m.methodsForKeys();
  ASSERT_EQ(methods.size(), 7u);
  for (size_t i = 0; i < methods.size(); ++i) {
    SCOPED_TRACE(methods[i].first);
    EXPECT_EQ(methods[i].first, expected[i]);
    const std::optional<std::string> computed = (m.*methods[i].second)();
    EXPECT_EQ(m.valueForKey(methods[i].first),
              computed ? std::optional<platform::Value>(*computed) : std::nullopt);
  }
}

TEST(TLMTrackerModelBundle, WarnsWithoutNameOrIdentifier) {
  testing_support::TempLibraryDir library;
  platform::Bundle::setMain({"", "", ""});
  installRecordingDispatcher();
  auto logger = std::make_shared<RecordingLogger>();
  TLM::sharedInstance().setLogger(logger);
  TLMTrackerModel m(TLMDataStore::dataStore());
  EXPECT_FALSE(platform::find(m.buildDictionary(), "&an"));
  EXPECT_FALSE(platform::find(m.buildDictionary(), "&av"));
  EXPECT_FALSE(platform::find(m.buildDictionary(), "&aid"));
  EXPECT_EQ(logger->count(TLMLogLevelWarning, "could not load application name or identifier."), 1);
}

TEST(TLMTrackerModelBundle, FallsBackToTheIdentifierForTheName) {
  testing_support::TempLibraryDir library;
  platform::Bundle::setMain({"", "org.example.only", ""});
  installRecordingDispatcher();
  TLMTrackerModel m(TLMDataStore::dataStore());
  EXPECT_EQ(stringAt(m.buildDictionary(), "&an"), "org.example.only");
}

class TLMTrackerModelAdIdTest : public TLMTrackerModelTest {
 protected:
  void SetUp() override {
    access_ = std::make_shared<FakeAdIdAccess>();
    platform::ClassRegistry::registerClass("ZenoActualAdIdAccess", access_);
    TLMTrackerModelTest::SetUp();
  }
  std::shared_ptr<FakeAdIdAccess> access_;
};

TEST_F(TLMTrackerModelAdIdTest, NothingIsCollectedUntilAllowed) {
  TLMTrackerModel m = model();
  const std::string before = *store_->clientId();
  const Dictionary d = m.buildDictionary();
  EXPECT_EQ(stringAt(d, "&idfa"), "<<null>>");
  EXPECT_EQ(stringAt(d, "&ate"), "<<null>>");
  EXPECT_EQ(store_->clientId(), before);
  EXPECT_EQ(store_->hashedIdfa(), std::nullopt);
}

TEST_F(TLMTrackerModelAdIdTest, AChangedIdentifierResetsTheClientId) {
  TLMTrackerModel m = model();
  m.setAllowIDFACollection(true);
  const std::string original = *store_->clientId();

  Dictionary first = m.buildDictionary();
  EXPECT_EQ(stringAt(first, "&idfa"), "AD-ID-1");
  EXPECT_EQ(stringAt(first, "&ate"), "1");
  EXPECT_EQ(stringAt(first, "&cid"), original) << "the first identifier is only recorded";
  EXPECT_EQ(stringAt(first, "&_crc"), "0");
  EXPECT_EQ(store_->hashedIdfa(), TLMHitUtil::hashIdfa("AD-ID-1", original));

  EXPECT_EQ(stringAt(m.buildDictionary(), "&cid"), original) << "same identifier, same client";

  access_->setId("AD-ID-2");
  access_->flag_ = 0;
  Dictionary changed = m.buildDictionary();
  const std::string renewed = *store_->clientId();
  EXPECT_NE(renewed, original);
  EXPECT_EQ(stringAt(changed, "&cid"), renewed) << "the very hit carries the new client id";
  EXPECT_EQ(stringAt(changed, "&_crc"), "1");
  EXPECT_EQ(stringAt(changed, "&ate"), "0");
  EXPECT_EQ(store_->hashedIdfa(), TLMHitUtil::hashIdfa("AD-ID-2", renewed));
}

TEST_F(TLMTrackerModelAdIdTest, TheChangeCountRestartsAfterADay) {
  TLMTrackerModel m = model();
  m.setAllowIDFACollection(true);
  m.buildDictionary();
  access_->setId("AD-ID-2");
  EXPECT_EQ(stringAt(m.buildDictionary(), "&_crc"), "1");
  const double now = platform::Date::now().timeIntervalSince1970();
  store_->setLastChangeTimeStamp(platform::Number(now - 86401));
  EXPECT_EQ(stringAt(m.buildDictionary(), "&_crc"), "0");
  const double windowStart = store_->lastChangeTimeStamp()->doubleValue();
  EXPECT_GE(windowStart, now - 1);
}

}  // namespace

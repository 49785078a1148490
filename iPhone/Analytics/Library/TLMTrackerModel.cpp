#include "TLMTrackerModel.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <random>

#include "TLMDataStore.h"
#include "TLMFields.h"
#include "TLMHitUtil.h"
#include "TLMLog.h"
#include "TLMStringUtil.h"
#include "TLMVersion.h"
#include "platform/AdSupport/AdvertisingIdentifierAccess.h"
#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/ClassRegistry.h"
#include "platform/Foundation/Date.h"

namespace {

using platform::Dictionary;
using platform::Value;
using Computed = TLMTrackerModel::ComputedValue;

constexpr char kAdIdClassName[] = "ZenoActualAdIdAccess";
constexpr double kChangeWindowSeconds = 86400.0;

// Built once, on first use, and never changed afterwards.
struct Tables {
  Dictionary defaults;
  Dictionary forced;
  std::vector<std::pair<std::string, Computed>> methods;  // in required order
  std::vector<std::string> required;
  std::shared_ptr<platform::AdvertisingIdentifierAccess> adIdAccess;
};

std::atomic<int32_t> gScreenViewNumber{1};

uint32_t random32() {
  // Never destroyed: trackers send from detached threads while the process
  // exits.
  static std::mutex* const mutex = new std::mutex;
  static std::random_device* const device = new std::random_device;  // the kernel's randomness
  std::lock_guard<std::mutex> lock(*mutex);
  return (*device)();
}

const Tables& tables() {
  static const Tables* built = [] {
    auto* t = new Tables;
    const platform::BundleInfo bundle = platform::Bundle::main();
    if (!bundle.name.empty()) {
      t->defaults.emplace(kTLMAppName, bundle.name);
    } else if (!bundle.identifier.empty()) {
      t->defaults.emplace(kTLMAppName, bundle.identifier);
    } else {
      TLM_LOG_WARNING("could not load application name or identifier.");
    }
    if (!bundle.shortVersion.empty()) t->defaults.emplace(kTLMAppVersion, bundle.shortVersion);
    if (!bundle.identifier.empty()) t->defaults.emplace(kTLMAppId, bundle.identifier);
    t->defaults.emplace("tlmVersion", std::string(kTLMLibraryBuildVersion));

    // Uniform in 1 ... 2147483646.
    gScreenViewNumber.store(static_cast<int32_t>(random32() % 2147483646u) + 1);

    t->adIdAccess =
        platform::ClassRegistry::lookupAs<platform::AdvertisingIdentifierAccess>(kAdIdClassName);
    if (!t->adIdAccess) TLM_LOG_VERBOSE("idfa class missing, won't collect idfa");

    t->forced.emplace(kTLMLibraryVersion, std::string(kTLMLibraryVersionValue));
    t->forced.emplace(kTLMProtocolVersion, std::string(kTLMProtocolVersionValue));

    t->methods.emplace_back(kTLMLanguage, &TLMTrackerModel::language);
    if (t->adIdAccess) {
      t->methods.emplace_back(kTLMIdfa, &TLMTrackerModel::idfa);
      t->methods.emplace_back(kTLMAdTargetingEnabled, &TLMTrackerModel::adTargetingEnabled);
    }
    t->methods.emplace_back(kTLMDeviceModelVersion, &TLMTrackerModel::deviceModelVersion);
    t->methods.emplace_back(kTLMScreenResolution, &TLMTrackerModel::screenResolution);
    t->methods.emplace_back(kTLMVexoId, &TLMTrackerModel::vexoId);
    t->methods.emplace_back(kTLMClientResetCount, &TLMTrackerModel::crc);
    t->methods.emplace_back(kTLMClientId, &TLMTrackerModel::clientId);
    t->methods.emplace_back(kTLMDataSource, &TLMTrackerModel::dataSource);
    for (const auto& [key, method] : t->methods)
      t->required.push_back(key);
    for (const auto& [key, value] : t->defaults)
      t->required.push_back(key);
    return t;
  }();
  return *built;
}

Computed methodForKey(std::string_view key) {
  for (const auto& [k, method] : tables().methods) {
    if (k == key) return method;
  }
  return nullptr;
}

std::atomic<uint64_t>& cacheBusterCounter() {
  static std::atomic<uint64_t>* counter = [] {
    const uint64_t high = random32();
    const uint64_t low = random32();
    return new std::atomic<uint64_t>((high << 32) | low);
  }();
  return *counter;
}

void store(Dictionary& d, std::string_view key, Value value) {
  if (auto it = d.find(key); it != d.end()) {
    it->second = std::move(value);
  } else {
    d.emplace(std::string(key), std::move(value));
  }
}

}  // namespace

TLMTrackerModel::TLMTrackerModel(std::shared_ptr<TLMDataStore> dataStore)
    : parameters_(tables().defaults), dataStore_(std::move(dataStore)) {
  if (!dataStore_) {
    TLM_LOG_WARNING("nil dataStore, new dataStore instance being created for testing.");
    dataStore_ = TLMDataStore::dataStore();
  }
}

const Dictionary& TLMTrackerModel::defaultParameters() const {
  return tables().defaults;
}
const Dictionary& TLMTrackerModel::forcedParameters() const {
  return tables().forced;
}
const std::vector<std::string>& TLMTrackerModel::requiredParameters() const {
  return tables().required;
}
const std::vector<std::pair<std::string, Computed>>& TLMTrackerModel::methodsForKeys() const {
  return tables().methods;
}

std::optional<Value> TLMTrackerModel::objectForKeyedSubscript(std::string_view key) const {
  if (const Value* v = platform::find(parameters_, key)) return *v;
  if (Computed method = methodForKey(key)) {
    if (std::optional<std::string> computed = (this->*method)()) return Value(std::move(*computed));
  }
  return std::nullopt;
}

void TLMTrackerModel::setObject(std::optional<Value> value, std::string_view key) {
  store(parameters_, key, value ? std::move(*value) : Value(platform::kNull));
}

std::shared_ptr<TLMTrackerModel> TLMTrackerModel::copyWithOverride(
    const Dictionary& parameters) const {
  auto copy = std::make_shared<TLMTrackerModel>(*this);
  for (const auto& [key, value] : parameters)
    copy->setObject(value, key);
  return copy;
}

Dictionary TLMTrackerModel::buildDictionary() const {
  Dictionary built;
  // Computed values first, in the order of the required keys: the
  // advertising identifier (which may replace the client id) is looked at
  // before the reset count and the client id.
  for (const std::string& key : tables().required) {
    std::optional<Value> v = objectForKeyedSubscript(key);
    built.emplace(key, v ? std::move(*v) : Value(platform::kNull));
  }
  for (const auto& [key, value] : parameters_)
    built.insert_or_assign(key, value);
  for (const auto& [key, value] : tables().forced)
    built.insert_or_assign(key, value);

  auto cid = built.find(std::string_view(kTLMClientId));
  const std::string* cidText = cid == built.end() ? nullptr : platform::stringIf(cid->second);
  if (cid == built.end() || platform::isNull(cid->second) || (cidText && cidText->empty())) {
    std::optional<std::string> stored = dataStore_ ? dataStore_->clientId() : std::nullopt;
    if (stored) {
      store(built, kTLMClientId, std::move(*stored));
    } else if (cid != built.end()) {
      built.erase(cid);
    }
  }
  store(built, kTLMCacheBuster, cacheBuster());
  return built;
}

void TLMTrackerModel::willSendScreenView() {
  int32_t current = gScreenViewNumber.load(std::memory_order_relaxed);
  int32_t next;
  do {
    next = current == INT32_MAX ? 1 : current + 1;
  } while (!gScreenViewNumber.compare_exchange_weak(current, next, std::memory_order_relaxed));
}

int32_t TLMTrackerModel::screenViewNumber() {
  tables();  // seeds the number
  return gScreenViewNumber.load();
}

void TLMTrackerModel::setScreenViewNumber(int32_t value) {
  tables();
  gScreenViewNumber.store(value);
}

std::optional<std::string> TLMTrackerModel::language() const {
  return TLMHitUtil::systemLanguage();
}

std::optional<std::string> TLMTrackerModel::deviceModelVersion() const {
  return TLMHitUtil::deviceModelVersion();
}

std::optional<std::string> TLMTrackerModel::screenResolution() const {
  return TLMHitUtil::systemScreenResolution();
}

std::optional<std::string> TLMTrackerModel::dataSource() const {
  return std::string("app");
}

std::optional<std::string> TLMTrackerModel::clientId() const {
  return dataStore_ ? dataStore_->clientId() : std::nullopt;
}

std::optional<std::string> TLMTrackerModel::vexoId() const {
  return std::to_string(static_cast<uint32_t>(gScreenViewNumber.load(std::memory_order_relaxed)));
}

std::string TLMTrackerModel::cacheBuster() const {
  return TLMStringUtil::uintString(cacheBusterCounter().fetch_add(1));
}

std::optional<std::string> TLMTrackerModel::crc() const {
  if (!dataStore_) return std::nullopt;
  const std::optional<platform::Number> last = dataStore_->lastChangeTimeStamp();
  const double lastSeconds = last ? last->doubleValue() : 0.0;
  const double now = platform::Date::now().timeIntervalSince1970();
  if (std::fabs(now - lastSeconds) > kChangeWindowSeconds) {
    dataStore_->setLastChangeTimeStamp(platform::Number(now));
    dataStore_->setIdfaChangeCount(platform::Number(0));
  }
  const std::optional<platform::Number> count = dataStore_->idfaChangeCount();
  if (!count) return std::nullopt;
  return count->stringValue();
}

std::optional<std::string> TLMTrackerModel::idfa() const {
  if (!allowIDFACollection_) return std::nullopt;
  const auto& access = tables().adIdAccess;
  if (!access || !dataStore_) return std::nullopt;
  std::optional<std::string> identifier = access->retrieveId();
  if (!identifier) return std::nullopt;

  std::string clientId = dataStore_->clientId().value_or(std::string());
  const std::string hash = TLMHitUtil::hashIdfa(*identifier, clientId);
  const std::optional<std::string> storedHash = dataStore_->hashedIdfa();
  if (hash != storedHash) {
    if (storedHash) {
      // The identifier changed: count it and start a new client.
      const std::optional<platform::Number> count = dataStore_->idfaChangeCount();
      dataStore_->setIdfaChangeCount(platform::Number(count ? count->longLongValue() + 1 : 1LL));
      clientId = TLMHitUtil::generateClientId();
      dataStore_->setClientId(clientId);
    }
    dataStore_->setHashedIdfa(TLMHitUtil::hashIdfa(*identifier, clientId));
  }
  return identifier;
}

std::optional<std::string> TLMTrackerModel::adTargetingEnabled() const {
  const auto& access = tables().adIdAccess;
  if (!allowIDFACollection_ || !access) return std::nullopt;
  return std::string(access->retrieveTrackingFlag() != 0 ? "1" : "0");
}

void TLMTrackerModel::setAllowAdPersonalizationSignals(bool allow) {
  allowAdPersonalizationSignals_ = allow;
  if (allow) {
    if (auto it = parameters_.find(std::string_view(kTLMNonPersonalizedAds));
        it != parameters_.end()) {
      parameters_.erase(it);
    }
  } else {
    setObject(std::string("1"), kTLMNonPersonalizedAds);
  }
}

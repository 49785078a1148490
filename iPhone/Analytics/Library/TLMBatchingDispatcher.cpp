#include "TLMBatchingDispatcher.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "TLM.h"
#include "TLMAnalyticsPropertiesStore.h"
#include "TLMBatchRequest.h"
#include "TLMCampaignAttribution.h"
#include "TLMDataStore.h"
#include "TLMFields.h"
#include "TLMHitUtil.h"
#include "TLMLog.h"
#include "TLMRequestBuilder.h"
#include "TLMTrackerModel.h"
#include "TLMURLConnection.h"
#include "platform/Foundation/Environment.h"
#include "platform/Foundation/NotificationCenter.h"
#include "platform/Foundation/Thread.h"

namespace {

using platform::Date;
using platform::Dictionary;
using platform::Value;

constexpr char kWillDispatchNotification[] = "TLMWillDispatchNotification";
constexpr char kTimestampKey[] = "timestamp";
constexpr char kTimerFired[] = "timerFired";

// Where hits go unless the environment names another collection host.
constexpr char kDefaultHttpOrigin[] = "http://collect.haldenanalytics.example";
constexpr char kDefaultHttpsOrigin[] = "https://ssl.haldenanalytics.example";

std::string origin(const char* variable, const char* fallback) {
  std::string text = platform::Environment::current()->setting(variable);
  if (text.empty()) text = fallback;
  while (!text.empty() && text.back() == '/')
    text.pop_back();
  return text;
}

// "scheme://host:port/..." gives "host" ("[::1]" gives "::1").
std::string hostOf(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string authority =
      url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    return authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  if (size_t colon = authority.rfind(':'); colon != std::string::npos) authority.resize(colon);
  return authority;
}

std::vector<platform::ManagedObjectId> objectIdsOf(const std::vector<TLMHitRecord>& hits) {
  std::vector<platform::ManagedObjectId> ids;
  ids.reserve(hits.size());
  for (const TLMHitRecord& hit : hits)
    ids.push_back(hit.objectID);
  return ids;
}

// The whole text as one floating-point number (leading blanks allowed, as a
// scanner skips them), or nothing.
std::optional<float> scanFloat(const std::string& text) {
  const char* begin = text.c_str();
  while (*begin == ' ' || *begin == '\t' || *begin == '\n')
    ++begin;
  if (*begin == '\0') return std::nullopt;
  char* end = nullptr;
  const float value = std::strtof(begin, &end);
  if (end == begin || *end != '\0') return std::nullopt;
  return value;
}

double nowSinceReferenceDate() {
  return Date::now().timeIntervalSinceReferenceDate();
}

}  // namespace

// Construction and teardown.

std::shared_ptr<TLMBatchingDispatcher> TLMBatchingDispatcher::dispatcher() {
  std::shared_ptr<TLMDataStore> store = TLMDataStore::dataStore();
  if (!store) return nullptr;
  return initWithDataStore(std::move(store));
}

std::shared_ptr<TLMBatchingDispatcher> TLMBatchingDispatcher::initWithDataStore(
    std::shared_ptr<TLMDataStore> dataStore) {
  auto dispatcher = std::make_shared<TLMBatchingDispatcher>(Key{}, std::move(dataStore));
  dispatcher->start();
  return dispatcher;
}

platform::Thread& TLMBatchingDispatcher::thread() {
  return TLM::thread();
}

void TLMBatchingDispatcher::assertOnWorkerThread(const char* function) {
  thread().runLoop().assertIsCurrent(function);
}

TLMBatchingDispatcher::TLMBatchingDispatcher(Key, std::shared_ptr<TLMDataStore> dataStore)
    : dataStore_(std::move(dataStore)),
      propertiesStore_(TLMAnalyticsPropertiesStore::sharedInstance()),
      campaign_(std::make_shared<TLMCampaignAttribution>(propertiesStore_)) {
  const std::string http = origin("HALDEN_HTTP_ORIGIN", kDefaultHttpOrigin);
  const std::string https = origin("HALDEN_HTTPS_ORIGIN", kDefaultHttpsOrigin);
  httpURL_ = http + "/collect";
  httpsURL_ = https + "/collect";
  httpBatchURL_ = http + "/batch";
  httpsBatchURL_ = https + "/batch";
  requestBuilder_ = std::make_shared<TLMRequestBuilder>();
}

// The parts of construction that hand out references to this dispatcher.
void TLMBatchingDispatcher::start() {
  reachability_ = TLMReachabilityChecker::initWithDelegate(shared_from_this(), hostOf(httpsURL_));
  if (reachability_) reachability_->start();
  // setupBatching: the defaults above, batching on.
  batchingStrategy_ = TLMBatchingStrategyTimeGap;
  compressionStrategy_ = TLMCompressionGzip;
  {
    Lock lock(mutex_);
    serverBatchingDisabled_ = false;
  }
  batchRetryInterval_ = 3600.0;
  // The timer exists whenever its three conditions hold, and they hold from
  // the start (an interval of 120 s, hits assumed, the host reachable).
  // Without it, a first dispatch that fails leaves hasHits set, so no later
  // hit would start one. Queued ahead of the first dispatch, which a
  // reschedule would cancel.
  rescheduleDispatch();
  initialDispatch();
  std::weak_ptr<TLMBatchingDispatcher> weak = weak_from_this();
  setDefaultCompletionHandler([weak](TLMDispatchResult result) {
    if (result != TLMDispatchSent) return;
    if (auto self = weak.lock()) self->dispatch();
  });
  TLM::sharedInstance().addObserver(weak_from_this(), "optOut");
}

TLMBatchingDispatcher::~TLMBatchingDispatcher() {
  // The timer and the delayed performs hold this dispatcher only weakly,
  // and a request's completion holds it until the answer has been handled,
  // so there is nothing to wait for: cancel what is still scheduled (and a
  // connection whose class never calls back).
  if (reachability_) {
    reachability_->setDelegate(nullptr);
    reachability_->stop();
  }
  if (connection_) connection_->cancel();
  TLM::sharedInstance().removeObserver(this, "optOut");
  platform::RunLoop& loop = thread().runLoop();
  if (timer_ != 0) loop.cancelTimer(timer_);
  loop.cancelPerforms(this);
}

// Thread gate and scheduling.

bool TLMBatchingDispatcher::rescheduleIfNeeded(std::function<void(TLMBatchingDispatcher&)> work,
                                               bool wait) {
  platform::Thread& worker = thread();
  if (worker.isCurrent()) return false;
  std::shared_ptr<TLMBatchingDispatcher> self = shared_from_this();
  auto task = [self, work = std::move(work)] { work(*self); };
  if (wait) {
    worker.runLoop().postAndWait(task);
  } else {
    worker.runLoop().post(task);
  }
  return true;
}

void TLMBatchingDispatcher::initialDispatch() {
  if (rescheduleIfNeeded(&TLMBatchingDispatcher::initialDispatch, false)) return;
  TLMDeliveryCounters::shared().setPending(dataStore_->hitCount(nullptr));
  std::weak_ptr<TLMBatchingDispatcher> weak = weak_from_this();
  thread().runLoop().performAfterDelay(this, kTimerFired, 1.0, [weak] {
    if (auto self = weak.lock()) self->timerFired();
  });
}

void TLMBatchingDispatcher::cancelDispatch() {
  if (rescheduleIfNeeded(&TLMBatchingDispatcher::cancelDispatch, true)) return;
  platform::RunLoop& loop = thread().runLoop();
  loop.cancelPerforms(this, kTimerFired);
  if (timer_ != 0) loop.cancelTimer(timer_);
  timer_ = 0;
}

void TLMBatchingDispatcher::cancelPerformRequests() {
  if (rescheduleIfNeeded(&TLMBatchingDispatcher::cancelPerformRequests, true)) return;
  thread().runLoop().cancelPerforms(this);
}

bool TLMBatchingDispatcher::canDispatch() {
  return hostReachable() && hasHits();
}

bool TLMBatchingDispatcher::canScheduleDispatch() {
  return dispatchInterval() > 0.0 && canDispatch();
}

void TLMBatchingDispatcher::timerFired() {
  if (canScheduleDispatch()) dispatch();
}

void TLMBatchingDispatcher::rescheduleDispatch() {
  if (rescheduleIfNeeded(&TLMBatchingDispatcher::rescheduleDispatch, false)) return;
  cancelDispatch();
  if (!canScheduleDispatch()) return;
  std::weak_ptr<TLMBatchingDispatcher> weak = weak_from_this();
  timer_ = thread().runLoop().scheduleTimer(dispatchInterval(), true, [weak] {
    if (auto self = weak.lock()) self->timerFired();
  });
}

double TLMBatchingDispatcher::dispatchInterval() {
  Lock lock(mutex_);
  return dispatchInterval_;
}

void TLMBatchingDispatcher::setDispatchInterval(double seconds) {
  {
    Lock lock(mutex_);
    if (seconds == dispatchInterval_) return;
    dispatchInterval_ = seconds;
  }
  rescheduleDispatch();
}

bool TLMBatchingDispatcher::hasHits() {
  Lock lock(mutex_);
  return hasHits_;
}

void TLMBatchingDispatcher::setHasHits(bool hasHits) {
  Lock lock(mutex_);
  if (hasHits == hasHits_) return;
  hasHits_ = hasHits;
  rescheduleDispatch();
}

bool TLMBatchingDispatcher::hostReachable() {
  Lock lock(mutex_);
  return hostReachable_;
}

void TLMBatchingDispatcher::setHostReachable(bool reachable) {
  {
    Lock lock(mutex_);
    if (reachable == hostReachable_) return;
    hostReachable_ = reachable;
  }
  rescheduleDispatch();
}

void TLMBatchingDispatcher::reachability(TLMReachabilityChecker&, TLMReachabilityStatus status) {
  setHostReachable(status != TLMReachabilityNotReachable);
}

bool TLMBatchingDispatcher::serverBatchingDisabled() {
  Lock lock(mutex_);
  return serverBatchingDisabled_;
}

double TLMBatchingDispatcher::batchFailedTime() {
  Lock lock(mutex_);
  return batchFailedTime_;
}

TLMDispatchCompletionHandler TLMBatchingDispatcher::defaultCompletionHandler() {
  Lock lock(mutex_);
  return defaultCompletionHandler_;
}

void TLMBatchingDispatcher::setDefaultCompletionHandler(TLMDispatchCompletionHandler handler) {
  Lock lock(mutex_);
  defaultCompletionHandler_ = std::move(handler);
}

void TLMBatchingDispatcher::setUrlConnectionClass(
    std::shared_ptr<TLMConnectionClass> connectionClass) {
  Lock lock(mutex_);
  urlConnectionClass_ = std::move(connectionClass);
}

std::optional<std::string> TLMBatchingDispatcher::clientId() {
  return dataStore_ ? dataStore_->clientId() : std::nullopt;
}

// Queueing.

void TLMBatchingDispatcher::queueModel(std::shared_ptr<TLMTrackerModel> model) {
  if (optOut_) {
    TLMDeliveryCounters::shared().addDropped(TLMDeliveryCounters::Drop::kOptOut, 1);
    return;
  }
  std::shared_ptr<ModelBatch> posted;
  {
    platform::MutexLock lock(queueMutex_);
    if (!queuedModels_) posted = queuedModels_ = std::make_shared<ModelBatch>();
    queuedModels_->push_back(std::move(model));
  }
  // One turn on "TLMThread" takes every model of its batch, so a burst of
  // sends is stored with one commit per store.
  if (posted) {
    std::shared_ptr<TLMBatchingDispatcher> self = shared_from_this();
    thread().runLoop().post([self, posted] { self->storeQueuedModels(posted); });
  }
}

void TLMBatchingDispatcher::storeQueuedModels(const std::shared_ptr<ModelBatch>& batch) {
  assertOnWorkerThread(__PRETTY_FUNCTION__);
  ModelBatch models;
  {
    platform::MutexLock lock(queueMutex_);
    if (queuedModels_ == batch) queuedModels_.reset();
    models.swap(*batch);
  }
  std::vector<Dictionary> hits;
  hits.reserve(models.size());
  for (const auto& model : models)
    hits.push_back(model->buildDictionary());
  queueDispatches(std::move(hits));
}

void TLMBatchingDispatcher::queueDispatch(platform::Dictionary parameters) {
  std::vector<Dictionary> hits;
  hits.push_back(std::move(parameters));
  queueDispatches(std::move(hits));
}

void TLMBatchingDispatcher::queueDispatches(std::vector<Dictionary> hits) {
  assertOnWorkerThread(__PRETTY_FUNCTION__);
  std::vector<Dictionary> admitted;
  admitted.reserve(hits.size());
  std::size_t sampledOut = 0;
  TLMDeliveryCounters& counters = TLMDeliveryCounters::shared();
  for (Dictionary& parameters : hits) {
    if (optOut_) {
      counters.addDropped(TLMDeliveryCounters::Drop::kOptOut,
                          hits.size() - admitted.size() - sampledOut);
      break;
    }
    const std::string* clientId = TLMHitUtil::stringParameter(parameters, kTLMClientId);
    if (const std::string* rate = TLMHitUtil::stringParameter(parameters, kTLMSampleRate)) {
      if (std::optional<float> sampleRate = scanFloat(*rate)) {
        const uint32_t hash = TLMHitUtil::tlHash(clientId ? *clientId : std::string_view());
        if (*sampleRate * 100.0f <= static_cast<float>(hash % 10000)) {
          ++sampledOut;
          continue;
        }
      }
    }
    admitted.push_back(std::move(parameters));
  }
  counters.addDropped(TLMDeliveryCounters::Drop::kSampledOut, sampledOut);

  // Hits with a tracking id are numbered, in order, with one commit.
  std::vector<TLMAnalyticsPropertiesStore::HitKey> keys;
  std::vector<Dictionary*> numbered;
  for (Dictionary& parameters : admitted) {
    const std::string* trackingId = TLMHitUtil::stringParameter(parameters, kTLMTrackingId);
    if (!trackingId || trackingId->empty()) continue;
    const std::string* clientId = TLMHitUtil::stringParameter(parameters, kTLMClientId);
    keys.push_back({*trackingId, clientId ? std::string_view(*clientId) : std::string_view()});
    numbered.push_back(&parameters);
  }
  if (!keys.empty()) {
    std::vector<std::optional<std::string>> numbers = propertiesStore_->nextHitNumbers(keys);
    for (std::size_t i = 0; i < numbered.size(); ++i) {
      if (numbers[i] && !numbers[i]->empty()) {
        numbered[i]->insert_or_assign(kTLMHitSequence, std::move(*numbers[i]));
      }
    }
  }

  std::vector<TLMHitRecord> records(admitted.size());
  for (std::size_t i = 0; i < admitted.size(); ++i) {
    records[i].timestamp = determineHitTime(admitted[i]);
    records[i].parameters = std::move(admitted[i]);
  }
  persistAll(records);
  for (const TLMHitRecord& record : records)
    checkIAdCampaignAttributionWithHitParameters(record.parameters);
}

Date TLMBatchingDispatcher::determineHitTime(Dictionary& parameters) {
  auto it = parameters.find(std::string_view(kTimestampKey));
  if (it == parameters.end()) return Date::now();
  const Date* date = std::get_if<Date>(&it->second);
  const Date time = date ? *date : Date::now();
  parameters.erase(it);
  return time;
}

void TLMBatchingDispatcher::insertHitTime(Date time, Dictionary& parameters) {
  parameters.insert_or_assign(kTimestampKey, time);
}

void TLMBatchingDispatcher::persist(TLMHitRecord record) {
  if (rescheduleIfNeeded([record](TLMBatchingDispatcher& self) { self.persist(record); }, false))
    return;
  persistAll({std::move(record)});
}

void TLMBatchingDispatcher::persistAll(const std::vector<TLMHitRecord>& records) {
  assertOnWorkerThread(__PRETTY_FUNCTION__);
  if (records.empty()) return;
  // A hit the store did not take is not saved, whatever a save of nothing
  // answers afterwards; a failed save saves none of them.
  std::vector<platform::Error> errors(records.size());
  std::vector<bool> added(records.size());
  for (std::size_t i = 0; i < records.size(); ++i)
    added[i] = dataStore_->addHit(records[i], &errors[i]);
  platform::Error saveError;
  const bool saved = dataStore_->save(&saveError);
  uint64_t stored = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (added[i] && saved) {
      ++stored;
      TLM_LOG_VERBOSE("Saved hit: %s", platform::description(records[i].parameters).c_str());
    } else {
      ++failedHitSaves_;
      TLM_LOG_ERROR("Failed to save hit: %s",
                    (added[i] ? saveError : errors[i]).localizedDescription.c_str());
    }
  }
  TLMDeliveryCounters& counters = TLMDeliveryCounters::shared();
  counters.addStored(stored);
  counters.addNotStored(records.size() - stored);
  counters.setPending(dataStore_->hitCount(nullptr));
  setHasHits(true);
}

// Opt-out.

void TLMBatchingDispatcher::observeFlag(std::string_view key, bool newValue) {
  if (key != "optOut") return;
  const bool wasOptedOut = optOut_;
  optOut_ = newValue;
  if (wasOptedOut || !newValue) return;
  {
    // What is sent from here on goes to a batch of its own, posted after
    // the deletion: one posted before it would take along a send made after
    // an opt-in, and the deletion then delete it.
    platform::MutexLock lock(queueMutex_);
    queuedModels_.reset();
  }
  deleteAllHits();
}

void TLMBatchingDispatcher::deleteAllHits() {
  if (rescheduleIfNeeded(&TLMBatchingDispatcher::deleteAllHits, false)) return;
  const int64_t before = dataStore_->hitCount(nullptr);
  platform::Error error;
  if (!dataStore_->deleteAllHits(&error)) {
    TLM_LOG_ERROR("Failed to delete all hits for opt-out: %s", error.localizedDescription.c_str());
  }
  platform::Error saveError;
  if (!dataStore_->save(&saveError)) {
    TLM_LOG_ERROR("Failed to save after updating opt-out property %s: %s",
                  "and deleting pending hits", saveError.localizedDescription.c_str());
  }
  const int64_t after = dataStore_->hitCount(nullptr);
  if (before > 0 && after >= 0 && after < before) {
    TLMDeliveryCounters::shared().addDropped(TLMDeliveryCounters::Drop::kOptOut,
                                             static_cast<uint64_t>(before - after));
  }
  TLMDeliveryCounters::shared().setPending(after);
  // Nothing is left to retry or to suspect.
  transientRefusals_ = 0;
  retryNotBefore_ = 0;
  stopTryingAlone();
  setHasHits(false);
}

// Dispatching.

void TLMBatchingDispatcher::dispatch() {
  dispatchWithCompletionHandler(nullptr);
}

void TLMBatchingDispatcher::dispatchWithCompletionHandler(TLMDispatchCompletionHandler handler) {
  if (handler) {
    // A dispatch with a handler of its own stops periodic dispatching until
    // the interval is set again.
    setDispatchInterval(-1.0);
    Lock lock(mutex_);
    currentCompletionHandler_ = std::move(handler);
  } else {
    Lock lock(mutex_);
    currentCompletionHandler_ = defaultCompletionHandler_;
  }
  std::shared_ptr<TLMBatchingDispatcher> self = shared_from_this();
  thread().runLoop().post([self] { self->runDispatch(); });
}

void TLMBatchingDispatcher::callCompletionHandler(TLMDispatchResult result) {
  TLMDispatchCompletionHandler handler;
  {
    Lock lock(mutex_);
    handler = currentCompletionHandler_;
  }
  if (handler) handler(result);
}

void TLMBatchingDispatcher::runDispatch() {
  assertOnWorkerThread(__PRETTY_FUNCTION__);
  if (!canDispatch()) {
    callCompletionHandler(TLMDispatchNoData);
    return;
  }
  const double now = nowSinceReferenceDate();
  // A microsecond's slack: clock readings summed in another order may
  // differ in their last bits.
  if (now + 1e-6 < retryNotBefore_) {
    // The service refused the last tries: the hits wait, whoever asks.
    TLM_LOG_VERBOSE("Dispatch waits %.0f s more after the service refused hits",
                    retryNotBefore_ - now);
    callCompletionHandler(TLMDispatchNoData);
    return;
  }
  {
    Lock lock(mutex_);
    if (serverBatchingDisabled_ && now - batchFailedTime_ > batchRetryInterval_) {
      serverBatchingDisabled_ = false;
    }
  }
  std::vector<std::string> lines;
  std::optional<std::vector<TLMHitRecord>> selected = selectPendingBatch(lines);
  if (!selected) {
    // The store could not be read: what it holds is still pending, and the
    // timer stays to try again.
    callCompletionHandler(TLMDispatchError);
    return;
  }
  std::vector<TLMHitRecord> batch = std::move(*selected);
  if (batch.empty()) {
    setHasHits(false);
    stopTryingAlone();
    callCompletionHandler(TLMDispatchNoData);
    return;
  }
  bool sending;
  {
    Lock lock(mutex_);
    sending = connection_ != nullptr;
  }
  if (sending) {
    callCompletionHandler(TLMDispatchNoData);
    return;
  }
  platform::NotificationCenter::defaultCenter().post(kWillDispatchNotification, this);
  sendRequest(TLMBatchRequest::make(std::move(batch), lines, requestSettings(), *requestBuilder_));
}

void TLMBatchingDispatcher::sendRequest(TLMBatchRequest next) {
  assertOnWorkerThread(__PRETTY_FUNCTION__);
  const std::optional<platform::URLRequest>& request = next.request();
  if (!request) {
    TLM_LOG_ERROR("Failed to generate request for hit(s).");
    TLMDeliveryCounters::shared().addDropped(TLMDeliveryCounters::Drop::kUnsendable,
                                             next.hits().size());
    deleteHits(next.hits());
    callCompletionHandler(TLMDispatchSent);
    return;
  }
  TLM_LOG_VERBOSE("Sending hit(s) %s: %s", request->method.c_str(), request->url.c_str());

  std::shared_ptr<TLMConnectionClass> connectionClass;
  {
    Lock lock(mutex_);
    connectionClass =
        urlConnectionClass_ ? urlConnectionClass_ : TLMURLConnection::connectionClass();
  }
  // The completion keeps this dispatcher and the batch alive until it ran.
  // The lock is held until connection_ is set, so that an answer that comes
  // at once finds the connection it ends.
  std::shared_ptr<TLMBatchingDispatcher> self = shared_from_this();
  const size_t unsent = next.unsent();
  auto hits = std::make_shared<std::vector<TLMHitRecord>>(next.takeHits());
  {
    Lock lock(mutex_);
    connection_ = connectionClass->connectionWithRequest(
        *request, platform::RunLoop::main(),
        [self, hits, unsent](const std::optional<platform::URLResponse>& response,
                             const std::optional<std::vector<uint8_t>>&,
                             const std::optional<platform::Error>& error) {
          self->didSendHits(*hits, response, error, unsent);
        });
    if (connection_) return;
  }
  // A class that makes no connection: a send that failed, the hits kept.
  TLM_LOG_INFO("Dispatch error: %s", "no connection for the request");
  callCompletionHandler(TLMDispatchError);
}

std::vector<TLMHitRecord> TLMBatchingDispatcher::nextPendingHits() {
  return loadPendingHits().value_or(std::vector<TLMHitRecord>{});
}

std::optional<std::vector<TLMHitRecord>> TLMBatchingDispatcher::loadPendingHits() {
  assertOnWorkerThread(__PRETTY_FUNCTION__);
  // Expired hits are deleted and the fetch repeated for as long as deleting
  // makes progress, however many expired hits lead the store. A fetch that
  // returns a hit already deleted means the store is not removing them:
  // then what is fresh goes, rather than fetching for ever.
  std::set<platform::ManagedObjectId> deleted;
  for (;;) {
    const double cutoff = nowSinceReferenceDate() - maxHitAge_;
    platform::Error error;
    std::optional<std::vector<TLMHitRecord>> fetched =
        dataStore_->fetchHitsWithLimit(maxHitsPerDispatch_, &error);
    // The store answers a failed fetch with an empty list and the error set
    // (or with none at all): either way its hits are still there.
    if (!fetched || (fetched->empty() && !error.domain.empty())) {
      TLM_LOG_ERROR("Failed to load pending hits: %s", error.localizedDescription.c_str());
      return std::nullopt;
    }
    if (fetched->empty()) return std::vector<TLMHitRecord>{};
    std::vector<TLMHitRecord> expired, fresh;
    for (TLMHitRecord& hit : *fetched) {
      (hit.timestamp.timeIntervalSinceReferenceDate() <= cutoff ? expired : fresh)
          .push_back(std::move(hit));
    }
    if (expired.empty()) return fresh;
    for (const TLMHitRecord& hit : expired) {
      if (!deleted.insert(hit.objectID).second) {
        TLM_LOG_ERROR("Failed to delete %zu expired hit(s).", expired.size());
        return fresh;
      }
    }
    TLMDeliveryCounters::shared().addDropped(TLMDeliveryCounters::Drop::kExpired, expired.size());
    deleteHits(expired);
  }
}

std::vector<TLMHitRecord> TLMBatchingDispatcher::hitsForDispatch() {
  std::vector<std::string> lines;
  return selectPendingBatch(lines).value_or(std::vector<TLMHitRecord>{});
}

std::optional<std::vector<TLMHitRecord>> TLMBatchingDispatcher::selectPendingBatch(
    std::vector<std::string>& lines) {
  assertOnWorkerThread(__PRETTY_FUNCTION__);
  lines.clear();
  std::optional<std::vector<TLMHitRecord>> loaded = loadPendingHits();
  if (!loaded) return std::nullopt;
  std::vector<TLMHitRecord> pending = std::move(*loaded);
  if (pending.empty()) {
    TLM_LOG_INFO("No pending hits.");
    return pending;
  }
  if (tryingAlone_ && std::none_of(pending.begin(), pending.end(), [this](const TLMHitRecord& h) {
        return suspects_.contains(h.objectID);
      })) {
    stopTryingAlone();  // the suspects are gone (expired, deleted)
  }
  if (tryingAlone_) {
    keepHitToTryAlone(pending);
    lines.push_back(requestBuilder_->parametersForHit(pending.front()));
    return pending;
  }
  TLMBatchSelector::Batch batch =
      TLMBatchSelector(batchingStrategy_, maxBodySize_, *requestBuilder_)
          .select(std::move(pending), serverBatchingDisabled());
  lines = std::move(batch.lines);
  return std::move(batch.hits);
}

void TLMBatchingDispatcher::keepHitToTryAlone(std::vector<TLMHitRecord>& pending) {
  auto untried = std::find_if(pending.begin(), pending.end(), [this](const TLMHitRecord& hit) {
    return !refusedThisRound_.contains(hit.objectID);
  });
  if (untried == pending.end()) {
    // Every hit in reach was refused: a new round starts from the oldest.
    refusedThisRound_.clear();
    untried = pending.begin();
  }
  TLMHitRecord next = std::move(*untried);
  pending.clear();
  pending.push_back(std::move(next));
}

TLMBatchRequest::Settings TLMBatchingDispatcher::requestSettings() const {
  return {httpURL_,     httpsURL_,   httpBatchURL_,       httpsBatchURL_,
          maxBodySize_, maxHitSize_, compressionStrategy_};
}

// The answer, on the main loop.
void TLMBatchingDispatcher::didSendHits(const std::vector<TLMHitRecord>& hits,
                                        const std::optional<platform::URLResponse>& response,
                                        const std::optional<platform::Error>& error,
                                        size_t unsent) {
  platform::RunLoop::main().assertIsCurrent(__PRETTY_FUNCTION__);
  using Verdict = TLMAnswerPolicy::Verdict;
  // Every answer the connection reports is an HTTP one; a status below 100
  // would come from something else.
  const bool http = response && response->statusCode >= 100;
  const long status = http ? response->statusCode : -1;
  // Read from the request as it went out (its hit count), never from the
  // batching state now: another answer may have changed that meanwhile.
  const bool batch = hits.size() > 1;
  // Without an HTTP answer nothing reached the service: kept for a retry.
  const Verdict verdict = http ? TLMAnswerPolicy::verdictFor(status, batch) : Verdict::kRetry;
  std::optional<double> retryAfter;
  if (http) {
    if (std::optional<std::string> header = response->valueForHTTPHeaderField("Retry-After")) {
      retryAfter = TLMAnswerPolicy::retryAfterSeconds(*header, Date::now().timeIntervalSince1970());
    }
  }
  if (verdict == Verdict::kFallBack) {
    {
      Lock lock(mutex_);
      serverBatchingDisabled_ = true;
      batchFailedTime_ = nowSinceReferenceDate();
    }
    TLM_LOG_INFO("Hit(s) not dispatched, falling back to non-batching mode: HTTP status %ld",
                 status);
  } else if (error) {
    TLM_LOG_INFO("Dispatch error: %s", error->localizedDescription.c_str());
  } else {
    TLM_LOG_INFO("Hit(s) dispatched: HTTP status %ld", status);
  }
  // Settled on "TLMThread" ahead of any dispatch the handler starts, so
  // that dispatch finds the send over and the hits' fate decided. Only
  // the identifiers go over: the hits' parameters are not read again.
  std::shared_ptr<TLMBatchingDispatcher> self = shared_from_this();
  const Date answeredAt = Date::now();
  thread().runLoop().post(
      [self, verdict, status, retryAfter, answeredAt, unsent, ids = objectIdsOf(hits)]() mutable {
        self->settleAnswer({verdict, status, retryAfter, answeredAt, unsent}, std::move(ids));
      });
  const bool delivered = verdict == Verdict::kDelivered || verdict == Verdict::kRefused;
  // A failed transfer is an error even when the head said 2xx; a delivered
  // or dropped batch lets the default chain go on with the next one.
  callCompletionHandler(delivered && !error ? TLMDispatchSent : TLMDispatchError);
}

void TLMBatchingDispatcher::didSendHits(const std::vector<TLMHitRecord>& hits) {
  std::shared_ptr<TLMBatchingDispatcher> self = shared_from_this();
  thread().runLoop().post([self, ids = objectIdsOf(hits)]() mutable {
    self->settleAnswer({TLMAnswerPolicy::Verdict::kDelivered, 200, std::nullopt, Date::now()},
                       std::move(ids));
  });
}

void TLMBatchingDispatcher::settleAnswer(const Answer& answer,
                                         std::vector<platform::ManagedObjectId> ids) {
  assertOnWorkerThread(__PRETTY_FUNCTION__);
  TLMDeliveryCounters& counters = TLMDeliveryCounters::shared();
  const long status = answer.status;
  const double when = answer.at.timeIntervalSince1970();
  switch (answer.verdict) {
    case TLMAnswerPolicy::Verdict::kDelivered:
      // A hit without a line goes with its batch but never reached the
      // service.
      counters.addDelivered(ids.size() - answer.unsent);
      counters.addDropped(TLMDeliveryCounters::Drop::kUnsendable, answer.unsent);
      deleteHitsWithIds(ids);
      endSend();
      TLM_LOG_INFO("%lu hit(s) sent", static_cast<unsigned long>(ids.size()));
      noteDelivered(ids);
      return;
    case TLMAnswerPolicy::Verdict::kRefused:
      TLM_LOG_WARNING("%lu hit(s) refused by the service and dropped: HTTP status %ld",
                      static_cast<unsigned long>(ids.size()), status);
      counters.addDropped(TLMDeliveryCounters::Drop::kRefused, ids.size() - answer.unsent);
      counters.addDropped(TLMDeliveryCounters::Drop::kUnsendable, answer.unsent);
      counters.noteRefusal(status, when);
      deleteHitsWithIds(ids);
      endSend();
      return;
    case TLMAnswerPolicy::Verdict::kFallBack:
      counters.addRetried(ids.size());
      counters.noteRefusal(status, when);
      endSend();
      return;
    case TLMAnswerPolicy::Verdict::kRetry:
      counters.addRetried(ids.size());
      endSend();
      // A transfer that failed says nothing of the service's mind: it is
      // tried again as before, on the next dispatch.
      if (status >= 100) noteRefusedForNow(answer, ids);
      return;
  }
}

void TLMBatchingDispatcher::endSend() {
  Lock lock(mutex_);
  connection_.reset();
}

void TLMBatchingDispatcher::noteDelivered(const std::vector<platform::ManagedObjectId>& ids) {
  if (transientRefusals_ > 0) {
    TLM_LOG_INFO("The service takes hits again after %u refusal(s)", transientRefusals_);
  }
  transientRefusals_ = 0;
  retryNotBefore_ = 0;
  if (!tryingAlone_) return;
  for (const platform::ManagedObjectId& id : ids)
    suspects_.erase(id);
  // Hits refused alone while this one was taken are what the service will
  // not take: it is up.
  std::vector<platform::ManagedObjectId> poison;
  for (const platform::ManagedObjectId& id : refusedThisRound_) {
    if (++strikes_[id] >= TLMAnswerPolicy::kPoisonStrikes) poison.push_back(id);
  }
  refusedThisRound_.clear();
  if (!poison.empty()) {
    TLM_LOG_WARNING("%lu hit(s) dropped: refused %u times while other hits were taken",
                    static_cast<unsigned long>(poison.size()), TLMAnswerPolicy::kPoisonStrikes);
    TLMDeliveryCounters::shared().addDropped(TLMDeliveryCounters::Drop::kRefused, poison.size());
    for (const platform::ManagedObjectId& id : poison) {
      strikes_.erase(id);
      suspects_.erase(id);
    }
    deleteHitsWithIds(poison);
  }
  // Every hit of the refused request was taken or dropped.
  if (suspects_.empty()) {
    stopTryingAlone();
    TLM_LOG_INFO("Hits are sent in batches again");
  }
}

void TLMBatchingDispatcher::stopTryingAlone() {
  tryingAlone_ = false;
  suspects_.clear();
  refusedThisRound_.clear();
  strikes_.clear();
}

void TLMBatchingDispatcher::noteRefusedForNow(const Answer& answer,
                                              const std::vector<platform::ManagedObjectId>& ids) {
  const long status = answer.status;
  ++transientRefusals_;
  const double delay =
      TLMAnswerPolicy::retryDelay(transientRefusals_, dispatchInterval(), answer.retryAfter);
  // From when the answer came, however long it waited to be settled.
  retryNotBefore_ = answer.at.timeIntervalSinceReferenceDate() + delay;
  TLMDeliveryCounters::shared().noteRefusal(status, answer.at.timeIntervalSince1970());
  if (transientRefusals_ == 1) {
    TLM_LOG_WARNING("%lu hit(s) not taken by the service, kept for a later try: HTTP status %ld",
                    static_cast<unsigned long>(ids.size()), status);
  } else {
    TLM_LOG_INFO("Hit(s) not taken again (%u in a row), next try in %.0f s: HTTP status %ld",
                 transientRefusals_, delay, status);
  }
  if (tryingAlone_) {
    if (ids.size() == 1) refusedThisRound_.insert(ids.front());
  } else if (transientRefusals_ >= TLMAnswerPolicy::kIsolateAfter) {
    tryingAlone_ = true;
    suspects_.insert(ids.begin(), ids.end());
    TLM_LOG_INFO("Hits are tried one by one, to find one the service will not take");
  }
}

void TLMBatchingDispatcher::deleteHits(const std::vector<TLMHitRecord>& hits) {
  deleteHitsWithIds(objectIdsOf(hits));
}

void TLMBatchingDispatcher::deleteHitsWithIds(const std::vector<platform::ManagedObjectId>& ids) {
  assertOnWorkerThread(__PRETTY_FUNCTION__);
  dataStore_->deleteHitsWithIds(ids, nullptr);
  const int64_t left = dataStore_->hitCount(nullptr);
  TLMDeliveryCounters::shared().setPending(left);
  // A count that failed (-1) leaves the hits assumed, to be looked at again.
  setHasHits(left != 0);
  TLM_LOG_INFO("hit(s) Successfully deleted");
  platform::Error error;
  if (!dataStore_->save(&error)) {
    TLM_LOG_ERROR("Unable to save after deleting hit(s): %s", error.localizedDescription.c_str());
  }
}

// Campaign attribution.

std::shared_ptr<platform::ADClient> TLMBatchingDispatcher::adClientInstance() const {
  return TLMCampaignAttribution::adClientInstance();
}

std::optional<Dictionary> TLMBatchingDispatcher::buildIAdCampaignHitWithHitParameters(
    const Dictionary& parameters) {
  return TLMCampaignAttribution::buildCampaignHit(parameters);
}

bool TLMBatchingDispatcher::checkIAdCampaignAttributionWithHitParameters(
    const Dictionary& parameters) {
  return campaign_->checkHit(parameters);
}

void TLMBatchingDispatcher::handleCampaignResult(bool attributed, Dictionary campaignHit) {
  campaign_->handleResult(attributed, std::move(campaignHit));
}

void TLMBatchingDispatcher::sendIAdCampaignHit(Dictionary campaignHit) {
  campaign_->sendCampaignHit(std::move(campaignHit));
}

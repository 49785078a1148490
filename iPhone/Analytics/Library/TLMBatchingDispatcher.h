#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TLMAnswerPolicy.h"
#include "TLMBatchRequest.h"
#include "TLMBatchSelector.h"
#include "TLMBatchingStrategy.h"
#include "TLMCompressionStrategy.h"
#include "TLMDeliveryCounters.h"
#include "TLMDispatcher.h"
#include "TLMHitRecord.h"
#include "TLMReachabilityChecker.h"
#include "TLMReachabilityDelegate.h"
#include "platform/Foundation/Error.h"
#include "platform/Foundation/FlagObserver.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"
#include "platform/Foundation/RecursiveMutex.h"
#include "platform/Foundation/RunLoop.h"

class TLMAnalyticsPropertiesStore;
class TLMCampaignAttribution;
class TLMDataStore;
class TLMRequestBuilder;
class TLMURLConnection;

namespace platform {
class ADClient;
class Thread;
struct URLResponse;
}  // namespace platform

// The one object between the trackers and the network. It drops hits while
// the user has opted out or outside a hit's sample rate, numbers each hit per
// tracking id and client id, fixes its time and stores it; it sends stored
// hits singly or in gzip batches, on a timer while the collection host is
// reachable and hits are pending, again at once after every successful send,
// and whenever the application asks; it deletes hits only after the service
// has answered, and falls back to one-hit requests for an hour when the
// service refuses a batch. Which hits make a batch is TLMBatchSelector's
// rule; each hit stored is shown to TLMCampaignAttribution, which may send
// a one-time ad-campaign hit per tracking id.
//
// Threads: every operation may be called from any thread. All work that
// touches the stores, the timer, the delayed performs and the request in
// flight runs on "TLMThread": public operations move themselves there (the
// thread gate), without waiting except the two cancels. Request outcomes and
// reachability changes arrive on the main loop. The campaign attribution
// keeps thread rules of its own (TLMCampaignAttribution).
// mutex_ (recursive) guards hasHits_ (a change reschedules the timer while
// the lock is held, and the reschedule reads hasHits_ again), hostReachable_,
// the dispatch interval, the connection class, the completion handlers, and
// the state the answer handler shares with "TLMThread":
// serverBatchingDisabled_, batchFailedTime_ and connection_. queueMutex_
// guards the queue of sent models. The compiler checks both (HALDEN_GUARDED_BY).
// Everything else is touched only on "TLMThread".
class TLMBatchingDispatcher final : public TLMDispatcher,
                                    public TLMReachabilityDelegate,
                                    public platform::FlagObserver,
                                    public std::enable_shared_from_this<TLMBatchingDispatcher> {
  struct Key {};  // keeps construction to initWithDataStore()

 public:
  // A dispatcher over a new hit store; null when no store can be opened.
  static std::shared_ptr<TLMBatchingDispatcher> dispatcher();
  // A started dispatcher over `dataStore`: endpoints from
  // $HALDEN_HTTP_ORIGIN and $HALDEN_HTTPS_ORIGIN, a reachability checker on
  // the secure host, the first dispatch one second from now, and the
  // observation of the service root's "optOut".
  static std::shared_ptr<TLMBatchingDispatcher> initWithDataStore(
      std::shared_ptr<TLMDataStore> dataStore);
  static platform::Thread& thread();

  TLMBatchingDispatcher() = delete;
  ~TLMBatchingDispatcher() override;

  // TLMDispatchSender.
  void queueDispatch(platform::Dictionary parameters) override;
  void queueModel(std::shared_ptr<TLMTrackerModel> model) override;
  std::shared_ptr<TLMDataStore> dataStore() override { return dataStore_; }

  // TLMDispatcher.
  void setUrlConnectionClass(std::shared_ptr<TLMConnectionClass> connectionClass) override;
  std::optional<std::string> clientId() override;
  double dispatchInterval() override;
  void setDispatchInterval(double seconds) override;
  void dispatch() override;
  void dispatchWithCompletionHandler(TLMDispatchCompletionHandler handler) override;

  // TLMReachabilityDelegate: every status but "not reachable" counts as
  // reachable.
  void reachability(TLMReachabilityChecker& checker, TLMReachabilityStatus status) override;

  // platform::FlagObserver, for the service root's "optOut".
  void observeFlag(std::string_view key, bool newValue) override;

  // Stores a hit record; sets hasHits. Moves to "TLMThread".
  void persist(TLMHitRecord record);
  // Admits, numbers and stores hits queued together, with one commit per
  // store for all of them (on "TLMThread"). Each is handled as on its own:
  // in order, opted out or sampled away one by one, "Saved hit" logged
  // only once its commit has returned.
  void queueDispatches(std::vector<platform::Dictionary> hits);
  // The "timestamp" date of the parameters, removed from them, or now.
  static platform::Date determineHitTime(platform::Dictionary& parameters);
  static void insertHitTime(platform::Date time, platform::Dictionary& parameters);

  // Scheduling.
  bool canDispatch();
  bool canScheduleDispatch();
  void timerFired();
  void rescheduleDispatch();
  void cancelDispatch();
  void cancelPerformRequests();
  bool hasHits();
  void setHasHits(bool hasHits);
  bool hostReachable();
  void setHostReachable(bool reachable);
  void deleteAllHits();

  // Batch selection and sending; the hit lists are oldest first.
  std::vector<TLMHitRecord> hitsForDispatch();
  std::vector<TLMHitRecord> nextPendingHits();
  static size_t batchByTimeGap(const std::vector<TLMHitRecord>& hits, size_t maxHits) {
    return TLMBatchSelector::batchByTimeGap(hits, maxHits);
  }
  static size_t batchBySessionSplit(const std::vector<TLMHitRecord>& hits, size_t maxHits) {
    return TLMBatchSelector::batchBySessionSplit(hits, maxHits);
  }
  std::string buildPayload(const std::vector<TLMHitRecord>& hits) const {
    return TLMBatchSelector::buildPayload(hits, *requestBuilder_, maxHitSize_);
  }
  // The answer to a request that carried `hits`, on the main loop. What it
  // means is decided by the request as it was sent (its hit count) and the
  // status (TLMAnswerPolicy); the hits' fate is settled on "TLMThread"
  // before the completion handler hears the outcome. `unsent` of the hits
  // had no line in the payload: deleted with the others, never delivered.
  void didSendHits(const std::vector<TLMHitRecord>& hits,
                   const std::optional<platform::URLResponse>& response,
                   const std::optional<platform::Error>& error, size_t unsent = 0);
  void didSendHits(const std::vector<TLMHitRecord>& hits);
  void deleteHits(const std::vector<TLMHitRecord>& hits);

  // Campaign attribution (TLMCampaignAttribution).
  bool checkIAdCampaignAttributionWithHitParameters(const platform::Dictionary& parameters);
  std::shared_ptr<platform::ADClient> adClientInstance() const;
  static std::optional<platform::Dictionary> buildIAdCampaignHitWithHitParameters(
      const platform::Dictionary& parameters);
  void handleCampaignResult(bool attributed, platform::Dictionary campaignHit);
  void sendIAdCampaignHit(platform::Dictionary campaignHit);

  // Settings; read and written on any thread before dispatching starts, and
  // on "TLMThread" afterwards.
  TLMBatchingStrategy batchingStrategy() const { return batchingStrategy_; }
  void setBatchingStrategy(TLMBatchingStrategy s) { batchingStrategy_ = s; }
  TLMCompressionStrategy compressionStrategy() const { return compressionStrategy_; }
  void setCompressionStrategy(TLMCompressionStrategy s) { compressionStrategy_ = s; }
  uint64_t maxHitsPerDispatch() const { return maxHitsPerDispatch_; }
  void setMaxHitsPerDispatch(uint64_t n) { maxHitsPerDispatch_ = n; }
  double maxHitAge() const { return maxHitAge_; }
  void setMaxHitAge(double seconds) { maxHitAge_ = seconds; }
  uint64_t maxBodySize() const { return maxBodySize_; }
  void setMaxBodySize(uint64_t bytes) { maxBodySize_ = bytes; }
  uint64_t maxHitSize() const { return maxHitSize_; }
  void setMaxHitSize(uint64_t bytes) { maxHitSize_ = bytes; }
  double batchRetryInterval() const { return batchRetryInterval_; }
  void setBatchRetryInterval(double seconds) { batchRetryInterval_ = seconds; }

  // The dispatch timer; 0 while there is none. On "TLMThread".
  platform::RunLoop::TimerId timer() const { return timer_; }
  bool serverBatchingDisabled();
  double batchFailedTime();
  bool optOut() const { return optOut_.load(); }
  const std::string& httpURL() const { return httpURL_; }
  const std::string& httpsURL() const { return httpsURL_; }
  const std::string& httpBatchURL() const { return httpBatchURL_; }
  const std::string& httpsBatchURL() const { return httpsBatchURL_; }
  const std::shared_ptr<TLMReachabilityChecker>& reachability() const { return reachability_; }
  const std::shared_ptr<TLMRequestBuilder>& requestBuilder() const { return requestBuilder_; }
  TLMDispatchCompletionHandler defaultCompletionHandler();
  void setDefaultCompletionHandler(TLMDispatchCompletionHandler handler);

  // Hits the store did not take ("Failed to save hit"), since construction.
  // Any thread.
  uint64_t failedHitSaves() const { return failedHitSaves_.load(); }

  TLMBatchingDispatcher(Key, std::shared_ptr<TLMDataStore> dataStore);

 private:
  using Lock = platform::MutexLock<platform::RecursiveMutex>;

  void start();
  // Ends the process when `function`, an operation only "TLMThread" runs,
  // is called elsewhere (debug and sanitizer builds).
  static void assertOnWorkerThread(const char* function);
  void persistAll(const std::vector<TLMHitRecord>& records);
  using ModelBatch = std::vector<std::shared_ptr<TLMTrackerModel>>;
  // Takes the models of `batch`, posted for it, and stores their hits.
  void storeQueuedModels(const std::shared_ptr<ModelBatch>& batch);
  void deleteHitsWithIds(const std::vector<platform::ManagedObjectId>& ids);
  // The thread gate: runs `work` on "TLMThread" and answers true when the
  // caller is elsewhere (the caller then returns); false when already there.
  // `work` is an operation of this dispatcher, or a call of one with its
  // arguments bound.
  bool rescheduleIfNeeded(std::function<void(TLMBatchingDispatcher&)> work, bool wait);
  void runDispatch();
  void initialDispatch();
  void callCompletionHandler(TLMDispatchResult result);
  // The batch and the hit lines of its hits, each encoded once: what
  // selection measured is what is sent. None when the store could not be
  // read; empty when it holds nothing to send.
  std::optional<std::vector<TLMHitRecord>> selectPendingBatch(std::vector<std::string>& lines);
  TLMBatchRequest::Settings requestSettings() const;
  // Connects with the request, or deletes its hits when it has none.
  void sendRequest(TLMBatchRequest next);
  // The pending hits, or none when the store could not be read.
  std::optional<std::vector<TLMHitRecord>> loadPendingHits();
  // The one hit tried next while hits are tried one by one: the oldest not
  // yet refused in this round.
  void keepHitToTryAlone(std::vector<TLMHitRecord>& pending);
  // What an answer did to the hits it carried, on "TLMThread": deletes
  // delivered or refused hits, keeps the others, and moves the retry and
  // poison bookkeeping; ends the send.
  struct Answer {
    TLMAnswerPolicy::Verdict verdict;
    long status;                       // -1 without an HTTP answer
    std::optional<double> retryAfter;  // seconds the service asked to wait
    platform::Date at;                 // when it came, on the main loop
    size_t unsent = 0;                 // hits that had no line in the payload
  };
  void settleAnswer(const Answer& answer, std::vector<platform::ManagedObjectId> ids);
  void noteDelivered(const std::vector<platform::ManagedObjectId>& ids);
  void noteRefusedForNow(const Answer& answer, const std::vector<platform::ManagedObjectId>& ids);
  void endSend();
  void stopTryingAlone();

  platform::RecursiveMutex mutex_;
  bool hasHits_ HALDEN_GUARDED_BY(mutex_) = true;
  std::atomic<bool> optOut_{false};  // read on the senders' threads
  bool hostReachable_ HALDEN_GUARDED_BY(mutex_) = true;
  bool serverBatchingDisabled_ HALDEN_GUARDED_BY(mutex_) = false;
  TLMBatchingStrategy batchingStrategy_ = TLMBatchingStrategyTimeGap;
  TLMCompressionStrategy compressionStrategy_ = TLMCompressionGzip;
  double dispatchInterval_ HALDEN_GUARDED_BY(mutex_) = 120.0;
  std::shared_ptr<TLMDataStore> dataStore_;
  std::shared_ptr<TLMAnalyticsPropertiesStore> propertiesStore_;
  std::shared_ptr<TLMRequestBuilder> requestBuilder_;
  std::shared_ptr<TLMConnectionClass> urlConnectionClass_ HALDEN_GUARDED_BY(mutex_);
  uint64_t maxHitsPerDispatch_ = 20;
  double maxHitAge_ = 2592000.0;
  uint64_t maxBodySize_ = 8192;
  uint64_t maxHitSize_ = 8192;
  std::shared_ptr<TLMReachabilityChecker> reachability_;
  std::string httpURL_, httpsURL_, httpBatchURL_, httpsBatchURL_;
  std::shared_ptr<TLMURLConnection> connection_ HALDEN_GUARDED_BY(mutex_);
  platform::RunLoop::TimerId timer_ = 0;
  double batchFailedTime_ HALDEN_GUARDED_BY(mutex_) = 0.0;
  double batchRetryInterval_ = 3600.0;
  TLMDispatchCompletionHandler defaultCompletionHandler_ HALDEN_GUARDED_BY(mutex_);
  TLMDispatchCompletionHandler currentCompletionHandler_ HALDEN_GUARDED_BY(mutex_);
  std::shared_ptr<TLMCampaignAttribution> campaign_;
  std::atomic<uint64_t> failedHitSaves_{0};
  // Refusals the service gave, on "TLMThread": transient ones in a row, the
  // earliest time the next request may go (seconds since the reference
  // date), whether hits are tried one by one to find one the service will
  // not take, the hits refused alone in this round, and how often each
  // was refused while another hit was taken.
  unsigned transientRefusals_ = 0;
  double retryNotBefore_ = 0;
  bool tryingAlone_ = false;
  // The hits of the request refused last before trying them alone; batches
  // resume once each was taken or dropped.
  std::set<platform::ManagedObjectId> suspects_;
  std::set<platform::ManagedObjectId> refusedThisRound_;
  std::map<platform::ManagedObjectId, unsigned> strikes_;
  // Models sent and not yet taken by "TLMThread": the batch the last posted
  // store task takes, null when none waits. An opt-out closes it, so that a
  // send after it waits behind the opt-out's deletion. Its own lock, held
  // only to add or take, so senders never wait on the dispatcher's; a
  // closed batch's models are taken under it too.
  platform::Mutex queueMutex_;
  std::shared_ptr<ModelBatch> queuedModels_ HALDEN_GUARDED_BY(queueMutex_);
};

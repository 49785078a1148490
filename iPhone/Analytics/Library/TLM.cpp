#include "TLM.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <future>
#include <new>
#include <thread>
#include <utility>

#include "TLMBatchingDispatcher.h"
#include "TLMCampaignAttribution.h"
#include "TLMDataStore.h"
#include "TLMDefaultLogger.h"
#include "TLMDeliveryCounters.h"
#include "TLMFields.h"
#include "TLMLog.h"
#include "TLMStringUtil.h"
#include "TLMTrackerImpl.h"
#include "TLMURLConnection.h"
#include "TLMUncaughtExceptionHandler.h"
#include "TLMUsageTracker.h"
#include "platform/Foundation/Date.h"
#include "platform/Foundation/Environment.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "platform/Foundation/UserDefaults.h"

namespace {

// The root lives in static storage and is never destroyed: hits may be sent
// from other threads while the process exits.
alignas(TLM) unsigned char gInstanceStorage[sizeof(TLM)];
std::atomic<TLM*> gInstance{nullptr};

// The class's own state, made on first use and never destroyed.
struct ClassState {
  // Serialises the making of the instance.
  platform::RecursiveMutex classLock;
  // The factory has a lock of its own: the root reads it under its instance
  // lock, while the class lock is taken before the instance lock.
  platform::Mutex factoryLock;
  // By default the root sends through the batching dispatcher over a new
  // hit store.
  TLMDispatcherFactory dispatcherFactory HALDEN_GUARDED_BY(factoryLock) =
      []() -> std::shared_ptr<TLMDispatcher> { return TLMBatchingDispatcher::dispatcher(); };
};

ClassState& classState() {
  static auto* state = new ClassState;
  return *state;
}

TLMTrackerFactory defaultTrackerFactory() {
  return [](std::shared_ptr<TLMDispatchSender> dispatcher,
            std::string_view name) -> std::shared_ptr<TLMTracker> {
    return TLMTrackerImpl::trackerWithDispatcher(std::move(dispatcher), name);
  };
}

void threadMain(platform::Thread& thread) {
  // A run ends only when the loop is stopped; start it anew at once.
  for (;;)
    thread.runLoop().run();
}

}  // namespace

TLM& TLM::sharedInstance() {
  if (TLM* instance = gInstance.load(std::memory_order_acquire)) return *instance;
  platform::MutexLock lock(classState().classLock);
  // A call from inside the root's own making, on this thread, finds the
  // instance recorded by the constructor and gets the root under construction.
  if (TLM* instance = gInstance.load(std::memory_order_acquire)) return *instance;
  return *new (gInstanceStorage) TLM();
}

bool TLM::exists() {
  return gInstance.load(std::memory_order_acquire) != nullptr;
}

std::shared_ptr<TLMLogger> TLM::sharedLogger() {
  return sharedInstance().logger();
}

platform::Thread& TLM::thread() {
  static platform::Thread* worker = [] {
    auto* t = new platform::Thread("TLMThread", &threadMain);
    t->start();
    return t;
  }();
  return *worker;
}

void TLM::setDispatcherFactory(TLMDispatcherFactory factory) {
  ClassState& state = classState();
  platform::MutexLock lock(state.factoryLock);
  state.dispatcherFactory = std::move(factory);
}

TLM::TLM() {
  // Answers arrive on the main loop. Until the application runs it (a GUI's
  // loop takes it over then), a stand-in thread serves it, so a program
  // that runs no loop of its own still hears them.
  platform::RunLoop::startMainLoopThread();
  {
    Lock lock(lock_);
    // Recorded before the rest of the making, so that the calls below that
    // come back to the root (logging, the dispatcher observing "optOut") find
    // it instead of making another.
    gInstance.store(this, std::memory_order_release);
    trackerImplClass_ = defaultTrackerFactory();
    urlConnectionClass_ = TLMURLConnection::connectionClass();
    // The logger must exist before the dispatcher, which may log.
    platform::MutexLock loggerLock(loggerLock_);
    logger_ = std::make_shared<TLMDefaultLogger>();
  }
  if (!dispatcher()) TLM_LOG_ERROR("Dispatcher initialization failed: %s", "(null)");

  platform::UserDefaults& defaults = platform::UserDefaults::standard();
  // A value of another kind (a damaged or hand-edited file) is no start time:
  // campaign attribution reads only a date, and would never find one.
  const std::optional<platform::Value> firstInit =
      defaults.objectForKey(TLMCampaignAttribution::kFirstInitTimeStampKey);
  if (!firstInit || !std::holds_alternative<platform::Date>(*firstInit)) {
    defaults.setObject(TLMCampaignAttribution::kFirstInitTimeStampKey, platform::Date::now());
    defaults.synchronize();
  }
}

std::shared_ptr<TLMTracker> TLM::trackerWithName(std::string_view name,
                                                 std::string_view trackingId) {
  const std::string trimmed = TLMStringUtil::trim(name);
  if (trimmed.empty()) {
    TLM_LOG_ERROR("Nil or empty name supplied. Cannot create tracker.");
    return nullptr;
  }
  Lock lock(lock_);
  TLMUsageTracker::trackAction("trackerWithName:trackingId:");
  if (auto it = trackers_.find(trimmed); it != trackers_.end()) return it->second;

  // A factory that is empty, answers null or throws makes no tracker: the
  // answer is null, never an exception out of this call.
  std::shared_ptr<TLMTracker> tracker;
  if (trackerImplClass_) {
    try {
      tracker = trackerImplClass_(dispatcher(), trimmed);
    } catch (const std::exception& e) {
      TLM_LOG_ERROR("Tracker factory failed: %s", e.what());
    } catch (...) {
      TLM_LOG_ERROR("Tracker factory failed: %s", "unknown exception");
    }
  } else {
    TLM_LOG_ERROR("No tracker class set. Cannot create tracker.");
  }
  if (!tracker) return nullptr;
  tracker->tlm_set(kTLMTrackingId, std::string(trackingId));
  trackers_.emplace(trimmed, tracker);
  if (!defaultTracker_.lock()) defaultTracker_ = tracker;
  return tracker;
}

std::shared_ptr<TLMTracker> TLM::trackerWithTrackingId(std::string_view trackingId) {
  return trackerWithName(trackingId, trackingId);
}

void TLM::removeTrackerByName(std::string_view name) {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("removeTrackerByName:");
  auto it = trackers_.find(name);
  if (it == trackers_.end()) return;
  std::shared_ptr<TLMTracker> removed = it->second;
  trackers_.erase(removed->name());
  if (defaultTracker_.lock() == removed) defaultTracker_.reset();
}

std::shared_ptr<TLMTracker> TLM::defaultTracker() {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("defaultTracker");
  return defaultTracker_.lock();
}

void TLM::setDefaultTracker(const std::shared_ptr<TLMTracker>& tracker) {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("setDefaultTracker:");
  defaultTracker_ = tracker;
}

void TLM::dispatch() {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("dispatch");
  if (auto d = dispatcher()) d->dispatch();
}

void TLM::dispatchWithCompletionHandler(TLMDispatchCompletionHandler completionHandler) {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("dispatchWithCompletionHandler:");
  if (auto d = dispatcher()) d->dispatchWithCompletionHandler(std::move(completionHandler));
}

bool TLM::flush(double timeoutSeconds) {
  // On the environment's clock, as the run loops' timers are, so that a test
  // can step it past the deadline. Waits are measured from it as durations.
  using Duration = std::chrono::steady_clock::duration;
  const std::shared_ptr<const platform::Environment> environment = platform::Environment::current();
  const auto deadline =
      environment->uptime() + std::chrono::duration_cast<Duration>(
                                  std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
  const auto leftAtMost = [&](std::chrono::milliseconds most) {
    return std::clamp<Duration>(deadline - environment->uptime(), Duration::zero(), most);
  };
  if (platform::RunLoop::main().isCurrent() || thread().isCurrent()) {
    TLM_LOG_ERROR("flush: called on the main loop or TLMThread, which it waits for");
    return false;
  }
  std::shared_ptr<TLMDispatcher> d = dispatcher();
  std::shared_ptr<TLMDataStore> store = d ? d->dataStore() : nullptr;
  if (!store) return false;
  for (;;) {
    const int64_t pending = store->hitCount(nullptr, 1);
    if (pending <= 0 || environment->uptime() >= deadline) return pending == 0;
    // One dispatch at a time; a delivered batch is followed at once, a
    // failed or empty one (the host out of reach) after a short pause.
    auto outcome = std::make_shared<std::promise<TLMDispatchResult>>();
    auto answered = std::make_shared<std::atomic<bool>>(false);
    std::future<TLMDispatchResult> result = outcome->get_future();
    d->dispatchWithCompletionHandler([outcome, answered](TLMDispatchResult r) {
      if (!answered->exchange(true)) outcome->set_value(r);
    });
    // Another caller's dispatch may replace this one's handler, which is then
    // never called: look at the store now and then while waiting.
    bool answeredInTime = false;
    do {
      answeredInTime =
          result.wait_for(leftAtMost(std::chrono::milliseconds(500))) == std::future_status::ready;
    } while (!answeredInTime && environment->uptime() < deadline &&
             store->hitCount(nullptr, 1) != 0);
    if (!answeredInTime) continue;  // the loop's head says why
    if (result.get() != TLMDispatchSent) {
      std::this_thread::sleep_for(leftAtMost(std::chrono::milliseconds(250)));
    }
  }
}

TLMDeliveryStatistics TLM::statistics() {
  return TLMDeliveryCounters::shared().snapshot();
}

double TLM::dispatchInterval() {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("dispatchInterval");
  auto d = dispatcher();
  return d ? d->dispatchInterval() : 0.0;
}

void TLM::setDispatchInterval(double seconds) {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("setDispatchInterval:");
  if (auto d = dispatcher()) d->setDispatchInterval(seconds);
}

std::optional<std::string> TLM::clientId() {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("clientId");
  auto d = dispatcher();
  return d ? d->clientId() : std::nullopt;
}

bool TLM::optOut() {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("optOut");
  return optOut_;
}

void TLM::setOptOut(bool optOut) {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("setOptOut:");
  optOut_ = optOut;
  // Told after the value is stored, on this thread and still under the lock,
  // so that observers see concurrent changes in the order they were made.
  optOutObservers_.didChange("optOut", optOut);
}

bool TLM::dryRun() {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("dryRun");
  return dryRun_;
}

void TLM::setDryRun(bool dryRun) {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("setDryRun:");
  dryRun_ = dryRun;
  if (urlConnectionClass_) urlConnectionClass_->setDryRun(dryRun);
}

bool TLM::trackUncaughtExceptions() {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("trackUncaughtExceptions");
  return trackUncaughtExceptions_;
}

void TLM::setTrackUncaughtExceptions(bool track) {
  Lock lock(lock_);
  TLMUsageTracker::trackAction("setTrackUncaughtExceptions:");
  if (track) {
    TLMInstallExceptionHandler();
  } else {
    TLMRemoveExceptionHandler();
  }
  trackUncaughtExceptions_ = track;
}

std::shared_ptr<TLMLogger> TLM::logger() {
  // Recorded like every public operation (it has no code); read without the
  // instance lock, see the class comment.
  TLMUsageTracker::trackAction("logger");
  platform::MutexLock lock(loggerLock_);
  return logger_;
}

void TLM::setLogger(std::shared_ptr<TLMLogger> logger) {
  Lock lock(lock_);
  std::shared_ptr<TLMLogger> replaced;
  {
    platform::MutexLock loggerLock(loggerLock_);
    if (logger_ == logger) return;
    replaced = std::exchange(logger_, std::move(logger));
  }
  TLMUsageTracker::trackAction("setLogger:");
  // The old logger goes here, outside the logger's lock: its destructor
  // may log.
}

void TLM::addObserver(std::weak_ptr<platform::FlagObserver> observer, std::string_view key) {
  optOutObservers_.addObserver(std::move(observer), key);
}

void TLM::removeObserver(const platform::FlagObserver* observer, std::string_view key) {
  optOutObservers_.removeObserver(observer, key);
}

std::shared_ptr<TLMDispatcher> TLM::dispatcher() {
  Lock lock(lock_);
  if (!dispatcher_ && !createDispatcher())
    TLM_LOG_ERROR("Cannot initiate dispatcher: %s", "(null)");
  return dispatcher_;
}

bool TLM::createDispatcher() {
  Lock lock(lock_);
  if (dispatcher_) return true;
  TLMDispatcherFactory factory;
  {
    ClassState& state = classState();
    platform::MutexLock factoryLock(state.factoryLock);
    factory = state.dispatcherFactory;
  }
  if (factory) dispatcher_ = factory();
  if (dispatcher_) dispatcher_->setUrlConnectionClass(TLMURLConnection::connectionClass());
  return dispatcher_ != nullptr;
}

void TLM::setDispatcher(std::shared_ptr<TLMDispatcher> dispatcher) {
  Lock lock(lock_);
  dispatcher_ = std::move(dispatcher);
}

std::map<std::string, std::shared_ptr<TLMTracker>, std::less<>> TLM::trackers() {
  Lock lock(lock_);
  return trackers_;
}

void TLM::setTrackers(std::map<std::string, std::shared_ptr<TLMTracker>, std::less<>> trackers) {
  Lock lock(lock_);
  trackers_ = std::move(trackers);
}

TLMTrackerFactory TLM::trackerImplClass() {
  Lock lock(lock_);
  return trackerImplClass_;
}

void TLM::setTrackerImplClass(TLMTrackerFactory factory) {
  Lock lock(lock_);
  trackerImplClass_ = std::move(factory);
}

std::shared_ptr<TLMConnectionClass> TLM::urlConnectionClass() {
  Lock lock(lock_);
  return urlConnectionClass_;
}

void TLM::setUrlConnectionClass(std::shared_ptr<TLMConnectionClass> connectionClass) {
  Lock lock(lock_);
  urlConnectionClass_ = std::move(connectionClass);
  // Read through the public accessor, as the other public operations do.
  const bool dry = dryRun();
  if (urlConnectionClass_) urlConnectionClass_->setDryRun(dry);
}

#pragma once

/// @file
/// The analytics root, TLM: trackers, dispatch, the switches and the logger.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "TLMDeliveryStatistics.h"
#include "TLMDispatcher.h"
#include "TLMLogger.h"
#include "TLMTracker.h"
#include "platform/Foundation/KeyValueObserving.h"
#include "platform/Foundation/Mutex.h"
#include "platform/Foundation/MutexLock.h"
#include "platform/Foundation/RecursiveMutex.h"

class TLMConnectionClass;

namespace platform {
class Thread;
}

/// Makes a tracker for a dispatcher and a name; answers null when it cannot.
using TLMTrackerFactory = std::function<std::shared_ptr<TLMTracker>(
    std::shared_ptr<TLMDispatchSender> dispatcher, std::string_view name)>;

/// The process-wide root of the analytics client: the one dispatcher, the
/// trackers by name, the default tracker, the shared logger, the switches and
/// the library's worker thread "TLMThread". It is made on first use and never
/// destroyed; it cannot be copied or made any other way.
///
/// Threads: any thread. Two recursive locks: the class lock serialises the
/// making of the instance; the instance lock guards the registry, the default
/// tracker, the switches, the dispatcher and the logger, and is held for the
/// whole of every public operation, including the calls it forwards to the
/// dispatcher. Lock order: instance lock, then the usage tracker's lock or the
/// lock of a tracker being created (never one that is registered). The logger
/// is also read under a lock of its own, held only to copy the pointer, so
/// logging from any thread never waits for the instance lock (the worker
/// thread may log while the root is being made and waits for it).
class TLM {
 public:
  /// The one root, made on the first call.
  static TLM& sharedInstance();
  /// Whether the root has been made: for code that must not make it only to
  /// find there is nothing to do.
  static bool exists();
  /// The root's logger, logger(); null when the library is silenced.
  static std::shared_ptr<TLMLogger> sharedLogger();
  /// The worker thread "TLMThread", started on first call. It runs its loop
  /// for the rest of the process.
  static platform::Thread& thread();

  /// Where the root gets its dispatcher from; set before the first
  /// sharedInstance() call. The default makes a TLMBatchingDispatcher over a
  /// new hit store. Without a factory there is no dispatcher, and so no
  /// tracker.
  static void setDispatcherFactory(TLMDispatcherFactory factory);

  /// Not copyable: there is one root.
  TLM(const TLM&) = delete;
  /// Not assignable: there is one root.
  TLM& operator=(const TLM&) = delete;

  /// The tracker registered under the trimmed name, else a new one for the
  /// tracking id; null for an empty name or when there is no dispatcher.
  std::shared_ptr<TLMTracker> trackerWithName(std::string_view name, std::string_view trackingId);
  /// trackerWithName() with the tracking id as the name too.
  std::shared_ptr<TLMTracker> trackerWithTrackingId(std::string_view trackingId);
  /// Forgets the tracker registered under the name (and the default tracker, when it is that one).
  void removeTrackerByName(std::string_view name);

  /// The default tracker is not owned: it is gone when nothing else keeps it.
  std::shared_ptr<TLMTracker> defaultTracker();
  /// Makes the tracker the default one, held weakly; null clears it.
  void setDefaultTracker(const std::shared_ptr<TLMTracker>& tracker);

  /// Asks the dispatcher to send the pending hits now; does not wait for them.
  void dispatch();
  /// dispatch(), then calls the handler once with what the dispatch did
  /// (nothing to send, sent, or an error).
  void dispatchWithCompletionHandler(TLMDispatchCompletionHandler completionHandler);
  /// Dispatches until no hit is pending or `timeoutSeconds` have passed, and
  /// answers whether none is pending: for a program about to end that wants
  /// its hits delivered first. Hits still pending stay on disk and leave with
  /// a later dispatch. Waits for the main run loop and "TLMThread": called on
  /// either it answers false at once (logged).
  bool flush(double timeoutSeconds);
  /// What became of this process's hits so far: stored, delivered, pending,
  /// retried and dropped by reason. Any thread; takes no lock.
  static TLMDeliveryStatistics statistics();
  /// Seconds between automatic dispatches; 0 when there is no dispatcher.
  double dispatchInterval();
  /// Sets the seconds between automatic dispatches (see dispatchInterval()).
  void setDispatchInterval(double seconds);
  /// The client id ("&cid") this installation's hits carry; nothing without a
  /// dispatcher.
  std::optional<std::string> clientId();

  /// Whether the user opted out: while on, hits are dropped, not sent.
  bool optOut();
  /// Observers of "optOut" are told the new value on this thread.
  void setOptOut(bool optOut);
  /// Whether the library runs dry: hits are handled as usual but not sent to
  /// the collection service.
  bool dryRun();
  /// Turns the dry run on or off (see dryRun()).
  void setDryRun(bool dryRun);
  /// Whether an exception that escapes any thread is sent as a fatal exception
  /// hit before the process ends.
  bool trackUncaughtExceptions();
  /// Turns the sending of uncaught exceptions on or off; on installs the
  /// library's uncaught-exception handler (an earlier one still runs after it).
  void setTrackUncaughtExceptions(bool track);

  /// The logger the library writes to; null when silenced.
  std::shared_ptr<TLMLogger> logger();
  /// Replaces the logger when it differs; null silences the library.
  void setLogger(std::shared_ptr<TLMLogger> logger);

  /// Registers an observer of "optOut", held weakly; told each new value.
  void addObserver(std::weak_ptr<platform::FlagObserver> observer, std::string_view key);
  /// Forgets the observer for the key.
  void removeObserver(const platform::FlagObserver* observer, std::string_view key);

  /// The dispatcher, made on the first request (and retried at every request
  /// while it cannot be made).
  std::shared_ptr<TLMDispatcher> dispatcher();
  /// Makes the dispatcher when there is none; answers whether one exists.
  bool createDispatcher();
  /// Replaces the dispatcher (for tests and hosts that make their own).
  void setDispatcher(std::shared_ptr<TLMDispatcher> dispatcher);

  /// The registered trackers by name.
  std::map<std::string, std::shared_ptr<TLMTracker>, std::less<>> trackers();
  /// Replaces the registry of trackers by name.
  void setTrackers(std::map<std::string, std::shared_ptr<TLMTracker>, std::less<>> trackers);
  /// What makes a new tracker; by default the library's own tracker.
  TLMTrackerFactory trackerImplClass();
  /// Replaces what makes a new tracker (see trackerImplClass()).
  void setTrackerImplClass(TLMTrackerFactory factory);
  /// The kind of connection hits are sent over; null for the default.
  std::shared_ptr<TLMConnectionClass> urlConnectionClass();
  /// Replaces the kind of connection hits are sent over; the dispatcher uses
  /// it from its next request.
  void setUrlConnectionClass(std::shared_ptr<TLMConnectionClass> connectionClass);

 private:
  TLM();
  ~TLM() = delete;

  using Lock = platform::MutexLock<platform::RecursiveMutex>;

  platform::RecursiveMutex lock_;
  bool trackUncaughtExceptions_ HALDEN_GUARDED_BY(lock_) = false;
  bool dryRun_ HALDEN_GUARDED_BY(lock_) = false;
  bool optOut_ HALDEN_GUARDED_BY(lock_) = false;
  std::shared_ptr<TLMDispatcher> dispatcher_ HALDEN_GUARDED_BY(lock_);
  std::map<std::string, std::shared_ptr<TLMTracker>, std::less<>> trackers_
      HALDEN_GUARDED_BY(lock_);
  std::weak_ptr<TLMTracker> defaultTracker_ HALDEN_GUARDED_BY(lock_);
  TLMTrackerFactory trackerImplClass_ HALDEN_GUARDED_BY(lock_);
  // The logger has a lock of its own, taken only to copy or replace the
  // pointer (never while logging), instead of an atomic shared pointer:
  // libstdc++'s hides its lock in the pointer's bits, where ThreadSanitizer
  // cannot see it and reports a race. It is replaced under lock_ too.
  platform::Mutex loggerLock_;
  std::shared_ptr<TLMLogger> logger_ HALDEN_GUARDED_BY(loggerLock_);
  std::shared_ptr<TLMConnectionClass> urlConnectionClass_ HALDEN_GUARDED_BY(lock_);
  platform::FlagObservers optOutObservers_;
};

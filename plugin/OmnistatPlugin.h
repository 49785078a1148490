#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Cordova/CDVPlugin.h"
#include "platform/Foundation/Mutex.h"

class TLMTracker;

// The web application's way into the analytics client: the "OmnistatPlugin"
// service. Each action is a script command acting on the service root and
// its default tracker (looked up afresh by every command).
//
// Commands answer OK (1), or ERROR (9) with "Tracker not started" when a
// command that needs a tracker comes before startTrackerWithId, or with
// "<command>: argument N (<what>) is missing" when the script passed too few
// arguments. dispatch and debugMode never answer. getStatistics needs no
// tracker: it answers the process's delivery figures, so a page can show
// where its hits went even before (or without) a start.
//
// Threads: actions run on the bridge's delivery thread; getStatistics answers
// there, as reading the figures takes no lock. startTrackerWithId,
// getVar, setVar and the tracking commands do their work in the background
// (the command delegate's pool), several at once; the tracker and service
// root lock for themselves. trackerStarted_ and debugMode_ are atomic;
// customDimensions_ is guarded by dimensionsMutex_; trackMutex_ makes each
// tracking command's work (dimensions, fields, send) one step. Lock order:
// trackMutex_, then dimensionsMutex_.
class OmnistatPlugin : public CDVPlugin {
 public:
  OmnistatPlugin();

  void pluginInitialize() override;

  // Set-up and configuration.
  void startTrackerWithId(const CDVInvokedUrlCommand::Ptr& command);
  void setAllowIDFACollection(const CDVInvokedUrlCommand::Ptr& command);
  void getVar(const CDVInvokedUrlCommand::Ptr& command);
  void setVar(const CDVInvokedUrlCommand::Ptr& command);
  void dispatch(const CDVInvokedUrlCommand::Ptr& command);
  void debugMode(const CDVInvokedUrlCommand::Ptr& command);
  void setUserId(const CDVInvokedUrlCommand::Ptr& command);
  void setAnonymizeIp(const CDVInvokedUrlCommand::Ptr& command);
  void setOptOut(const CDVInvokedUrlCommand::Ptr& command);
  void setAppVersion(const CDVInvokedUrlCommand::Ptr& command);
  void enableUncaughtExceptionReporting(const CDVInvokedUrlCommand::Ptr& command);
  void addCustomDimension(const CDVInvokedUrlCommand::Ptr& command);

  // Delivery figures: what became of this process's hits (TLM::statistics()),
  // as {stored, delivered, pending, retried, notStored, dropped: {expired,
  // overCap, refused, unsendable, optOut, sampledOut, undecodable, total},
  // lastRefusal: {status, time} or null}. pending is null until the hit
  // store was first counted.
  void getStatistics(const CDVInvokedUrlCommand::Ptr& command);

  // Tracking.
  void trackMetric(const CDVInvokedUrlCommand::Ptr& command);
  void trackEvent(const CDVInvokedUrlCommand::Ptr& command);
  void trackException(const CDVInvokedUrlCommand::Ptr& command);
  void trackView(const CDVInvokedUrlCommand::Ptr& command);
  void trackTiming(const CDVInvokedUrlCommand::Ptr& command);
  void addTransaction(const CDVInvokedUrlCommand::Ptr& command);
  void addTransactionItem(const CDVInvokedUrlCommand::Ptr& command);

  // Makes every stored custom dimension a field of the tracker; does nothing
  // before the first addCustomDimension or without a tracker.
  void addCustomDimensionsToTracker(const std::shared_ptr<TLMTracker>& tracker);

 private:
  // The argument at a position the command cannot do without, or null after
  // answering the command ERROR with what is missing.
  const platform::ScriptValue* required(const CDVInvokedUrlCommand::Ptr& command, std::size_t index,
                                        const char* what);
  // Sets a tracker field to argument 0 (setUserId, setAnonymizeIp,
  // setAppVersion).
  void setField(const CDVInvokedUrlCommand::Ptr& command, const char* key, const char* what);
  // Answers "Tracker not started" and answers false when no start was made.
  bool checkStarted(const CDVInvokedUrlCommand::Ptr& command);
  // The gated tracking shape: the start is checked here, on the delivery
  // thread; the work runs in the background and is answered OK.
  // Runs the work in the background; an exception is answered ERROR.
  template <class Work>
  void inBackground(const CDVInvokedUrlCommand::Ptr& command, Work work);
  template <class Work>
  void track(const CDVInvokedUrlCommand::Ptr& command, Work work);
  void answerOk(const CDVInvokedUrlCommand::Ptr& command);
  void answerError(const CDVInvokedUrlCommand::Ptr& command, const std::string& message);

  std::atomic<bool> trackerStarted_{false};
  std::atomic<bool> debugMode_{false};
  platform::Mutex trackMutex_;
  platform::Mutex dimensionsMutex_;
  // Decimal text of a dimension index to its value; none until the first
  // addCustomDimension.
  std::optional<std::map<std::string, platform::ScriptValue>> customDimensions_
      HALDEN_GUARDED_BY(dimensionsMutex_);
};

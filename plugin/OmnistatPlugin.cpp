#include "OmnistatPlugin.h"

#include <climits>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <utility>

#include "TLM.h"
#include "TLMDictionaryBuilder.h"
#include "TLMFields.h"
#include "TLMLogger.h"
#include "platform/Foundation/MutexLock.h"
#include "platform/Foundation/Number.h"

using platform::Number;
using platform::ScriptValue;
using Command = CDVInvokedUrlCommand::Ptr;

namespace {

constexpr char kNotStarted[] = "Tracker not started";

// 2^64: the first dimension index a key cannot carry. Every unsigned integer
// fits below it; a floating index at or above it would be read as the
// highest one.
constexpr double kIndicesEnd = 18446744073709551616.0;

// An optional argument where a command expects text or a number: nothing
// when the script passed fewer arguments. The hit builder stores the null
// marker for nothing and for null alike.
std::optional<std::string> textAt(const Command& command, std::size_t index) {
  const ScriptValue* v = command->argumentAtIndex(index);
  return v ? v->text() : std::nullopt;
}

std::optional<platform::Value> valueAt(const Command& command, std::size_t index) {
  const ScriptValue* v = command->argumentAtIndex(index);
  return v ? std::optional<platform::Value>(v->value()) : std::nullopt;
}

bool flagAt(const Command& command, std::size_t index) {
  return command->argumentAtIndex(index, ScriptValue(Number(false))).boolValue();
}

void send(const std::shared_ptr<TLMTracker>& tracker, const platform::Dictionary& hit) {
  if (tracker) tracker->send(hit);
}

// The figures as a script reads them. A figure not known yet is null rather
// than a sentinel number a page might show or add up.
nlohmann::json statisticsJson(const TLMDeliveryStatistics& s) {
  nlohmann::json lastRefusal = nullptr;
  if (s.lastRefusalTime != 0) {
    lastRefusal = {{"status", s.lastRefusalStatus}, {"time", s.lastRefusalTime}};
  }
  return {
      {"stored", s.stored},
      {"delivered", s.delivered},
      {"pending", s.pending < 0 ? nlohmann::json(nullptr) : nlohmann::json(s.pending)},
      {"retried", s.retried},
      {"notStored", s.notStored},
      {"dropped",
       {{"expired", s.droppedExpired},
        {"overCap", s.droppedOverCap},
        {"refused", s.droppedRefused},
        {"unsendable", s.droppedUnsendable},
        {"optOut", s.droppedOptOut},
        {"sampledOut", s.droppedSampledOut},
        {"undecodable", s.droppedUndecodable},
        {"total", s.dropped()}}},
      {"lastRefusal", std::move(lastRefusal)},
  };
}

}  // namespace

OmnistatPlugin::OmnistatPlugin() {
  exposeAction("startTrackerWithId", &OmnistatPlugin::startTrackerWithId);
  exposeAction("setAllowIDFACollection", &OmnistatPlugin::setAllowIDFACollection);
  exposeAction("getVar", &OmnistatPlugin::getVar);
  exposeAction("setVar", &OmnistatPlugin::setVar);
  exposeAction("dispatch", &OmnistatPlugin::dispatch);
  exposeAction("debugMode", &OmnistatPlugin::debugMode);
  exposeAction("setUserId", &OmnistatPlugin::setUserId);
  exposeAction("setAnonymizeIp", &OmnistatPlugin::setAnonymizeIp);
  exposeAction("setOptOut", &OmnistatPlugin::setOptOut);
  exposeAction("setAppVersion", &OmnistatPlugin::setAppVersion);
  exposeAction("enableUncaughtExceptionReporting",
               &OmnistatPlugin::enableUncaughtExceptionReporting);
  exposeAction("addCustomDimension", &OmnistatPlugin::addCustomDimension);
  exposeAction("getStatistics", &OmnistatPlugin::getStatistics);
  exposeAction("trackMetric", &OmnistatPlugin::trackMetric);
  exposeAction("trackEvent", &OmnistatPlugin::trackEvent);
  exposeAction("trackException", &OmnistatPlugin::trackException);
  exposeAction("trackView", &OmnistatPlugin::trackView);
  exposeAction("trackTiming", &OmnistatPlugin::trackTiming);
  exposeAction("addTransaction", &OmnistatPlugin::addTransaction);
  exposeAction("addTransactionItem", &OmnistatPlugin::addTransactionItem);
}

void OmnistatPlugin::pluginInitialize() {
  trackerStarted_ = false;
  debugMode_ = false;
  platform::MutexLock lock(dimensionsMutex_);
  customDimensions_.reset();
}

// Answers -----------------------------------------------------------------

void OmnistatPlugin::answerOk(const Command& command) {
  commandDelegate()->sendPluginResult(CDVPluginResult::resultWithStatus(CDVCommandStatus_OK),
                                      command->callbackId());
}

void OmnistatPlugin::answerError(const Command& command, const std::string& message) {
  commandDelegate()->sendPluginResult(
      CDVPluginResult::resultWithStatus(CDVCommandStatus_ERROR, message), command->callbackId());
}

bool OmnistatPlugin::checkStarted(const Command& command) {
  if (trackerStarted_) return true;
  answerError(command, kNotStarted);
  return false;
}

const ScriptValue* OmnistatPlugin::required(const Command& command, std::size_t index,
                                            const char* what) {
  // Reading past the arguments a script sent is refused, not guessed at.
  const ScriptValue* v = command->argumentAtIndex(index);
  if (!v) {
    answerError(command, command->methodName() + ": argument " + std::to_string(index) + " (" +
                             what + ") is missing");
  }
  return v;
}

template <class Work>
void OmnistatPlugin::inBackground(const Command& command, Work work) {
  commandDelegate()->runInBackground([this, command, work = std::move(work)] {
    // Whatever happens, the script hears of its command.
    try {
      work();
    } catch (const std::exception& e) {
      answerError(command, command->methodName() + " failed: " + e.what());
    }
  });
}

template <class Work>
void OmnistatPlugin::track(const Command& command, Work work) {
  if (!checkStarted(command)) return;
  inBackground(command, [this, command, work = std::move(work)] {
    {
      // One tracking command at a time sets its fields and sends: a view's
      // hit must carry its own screen name, not that of a view being
      // tracked beside it on another background thread.
      platform::MutexLock lock(trackMutex_);
      work(TLM::sharedInstance().defaultTracker());
    }
    answerOk(command);
  });
}

// Set-up and configuration --------------------------------------------------

void OmnistatPlugin::startTrackerWithId(const Command& command) {
  inBackground(command, [this, command] {
    const ScriptValue* trackingId = required(command, 0, "tracking id");
    if (!trackingId) return;
    const ScriptValue* interval = command->argumentAtIndex(1);
    TLM& root = TLM::sharedInstance();
    root.setDispatchInterval(interval && interval->isNumber() ? interval->doubleValue() : 30.0);
    // A tracker that cannot be made leaves no default tracker; the start
    // still counts, and later commands act on nothing.
    root.setDefaultTracker(root.trackerWithTrackingId(trackingId->text().value_or("")));
    trackerStarted_ = true;
    answerOk(command);
  });
}

void OmnistatPlugin::setAllowIDFACollection(const Command& command) {
  if (!checkStarted(command)) return;
  if (auto tracker = TLM::sharedInstance().defaultTracker()) {
    tracker->setAllowIDFACollection(flagAt(command, 0));
  }
  answerOk(command);
}

void OmnistatPlugin::getVar(const Command& command) {
  inBackground(command, [this, command] {
    if (!checkStarted(command)) return;
    const ScriptValue* key = required(command, 0, "field key");
    if (!key) return;
    std::optional<std::string> value;
    if (auto tracker = TLM::sharedInstance().defaultTracker()) {
      value = tracker->get(key->text().value_or(""));
    }
    commandDelegate()->sendPluginResult(
        CDVPluginResult::resultWithStatus(CDVCommandStatus_OK, std::move(value)),
        command->callbackId());
  });
}

void OmnistatPlugin::setVar(const Command& command) {
  inBackground(command, [this, command] {
    if (!checkStarted(command)) return;
    const ScriptValue* key = required(command, 0, "field key");
    if (!key) return;
    const ScriptValue* value = required(command, 1, "value");
    if (!value) return;
    if (auto tracker = TLM::sharedInstance().defaultTracker()) {
      tracker->set(key->text().value_or(""), value->value());
    }
    answerOk(command);
  });
}

void OmnistatPlugin::dispatch(const Command&) {
  TLM::sharedInstance().dispatch();
}

void OmnistatPlugin::debugMode(const Command&) {
  debugMode_ = true;
  if (auto logger = TLM::sharedInstance().logger()) logger->setLogLevel(TLMLogLevelVerbose);
  // The window opens its inspector too, where the application allows it.
  if (CDVCommandDelegate* delegate = commandDelegate()) delegate->requestWebInspector();
}

void OmnistatPlugin::setField(const Command& command, const char* key, const char* what) {
  // The value is read before the start is checked.
  const ScriptValue* value = required(command, 0, what);
  if (!value || !checkStarted(command)) return;
  if (auto tracker = TLM::sharedInstance().defaultTracker()) tracker->set(key, value->value());
  answerOk(command);
}

void OmnistatPlugin::setUserId(const Command& command) {
  setField(command, kTLMUserId, "user id");
}

void OmnistatPlugin::setAnonymizeIp(const Command& command) {
  setField(command, kTLMAnonymizeIp, "value");
}

void OmnistatPlugin::setOptOut(const Command& command) {
  const ScriptValue* flag = required(command, 0, "flag");
  if (!flag || !checkStarted(command)) return;
  TLM::sharedInstance().setOptOut(flag->boolValue());
  answerOk(command);
}

void OmnistatPlugin::setAppVersion(const Command& command) {
  setField(command, kTLMAppVersion, "version");
}

void OmnistatPlugin::enableUncaughtExceptionReporting(const Command& command) {
  if (!checkStarted(command)) return;
  const ScriptValue* flag = required(command, 0, "flag");
  if (!flag) return;
  TLM::sharedInstance().setTrackUncaughtExceptions(flag->boolValue());
  answerOk(command);
}

void OmnistatPlugin::addCustomDimension(const Command& command) {
  const ScriptValue* index = required(command, 0, "dimension index");
  if (!index) return;
  const ScriptValue* value = required(command, 1, "value");
  if (!value) return;
  // An index that is not a number, or lies outside what a dimension key can
  // carry, would name no dimension the service knows: refused, rather than
  // read as 0 or as the highest index.
  const Number* number = index->numberIf();
  if (!number || number->doubleValue() < 0 ||
      (number->isFloating() && number->doubleValue() >= kIndicesEnd)) {
    answerError(command,
                "addCustomDimension: argument 0 (dimension index) is not a number from 0 to " +
                    std::to_string(UINT64_MAX));
    return;
  }
  {
    platform::MutexLock lock(dimensionsMutex_);
    if (!customDimensions_) customDimensions_.emplace();
    (*customDimensions_)[number->stringValue()] = *value;
  }
  answerOk(command);
}

void OmnistatPlugin::addCustomDimensionsToTracker(const std::shared_ptr<TLMTracker>& tracker) {
  std::map<std::string, ScriptValue> dimensions;
  {
    platform::MutexLock lock(dimensionsMutex_);
    if (!customDimensions_) return;
    dimensions = *customDimensions_;
  }
  if (!tracker) return;
  for (const auto& [key, value] : dimensions) {
    const std::optional<Number> index = Number::parse(key);
    tracker->set(TLMFields::customDimensionForIndex(index ? index->unsignedLongLongValue() : 0),
                 value.value());
  }
}

// Delivery figures ----------------------------------------------------------

void OmnistatPlugin::getStatistics(const Command& command) {
  // A plain read of atomics: cheap enough for the delivery thread, and a
  // page polling it every few seconds must not wait behind tracking work.
  commandDelegate()->sendPluginResult(
      CDVPluginResult::resultWithStatusMessageAsDictionary(
          CDVCommandStatus_OK, statisticsJson(TLM::statistics()).dump()),
      command->callbackId());
}

// Tracking ----------------------------------------------------------------

void OmnistatPlugin::trackMetric(const Command& command) {
  if (!checkStarted(command)) return;
  const ScriptValue* index = command->argumentAtIndex(0);
  const int metric = index ? index->intValue() : 0;
  // intValue saturates: an index past int's range reads as the highest int,
  // which names no metric the script asked for.
  if (metric < 0 || (metric == INT_MAX && index->doubleValue() > static_cast<double>(INT_MAX))) {
    answerError(command, "trackMetric: argument 0 (metric index) is not a number from 0 to " +
                             std::to_string(INT_MAX));
    return;
  }
  track(command, [command, metric](const std::shared_ptr<TLMTracker>& tracker) {
    if (tracker) {
      tracker->set(TLMFields::customMetricForIndex(static_cast<std::size_t>(metric)),
                   valueAt(command, 1));
    }
  });
}

void OmnistatPlugin::trackEvent(const Command& command) {
  track(command, [this, command](const std::shared_ptr<TLMTracker>& tracker) {
    addCustomDimensionsToTracker(tracker);
    TLMDictionaryBuilder builder = TLMDictionaryBuilder::createEventWithCategory(
        textAt(command, 0), textAt(command, 1), textAt(command, 2), valueAt(command, 3));
    if (flagAt(command, 4)) builder.set("start", kTLMSessionControl);
    send(tracker, builder.build());
  });
}

void OmnistatPlugin::trackException(const Command& command) {
  track(command, [this, command](const std::shared_ptr<TLMTracker>& tracker) {
    addCustomDimensionsToTracker(tracker);
    // The screen view first: it carries the screen the exception happened on.
    send(tracker, TLMDictionaryBuilder::createScreenView().build());
    send(tracker, TLMDictionaryBuilder::createExceptionWithDescription(textAt(command, 0),
                                                                       valueAt(command, 1))
                      .build());
  });
}

void OmnistatPlugin::trackView(const Command& command) {
  if (!checkStarted(command)) return;
  const ScriptValue* screen = required(command, 0, "screen name");
  if (!screen) return;
  track(command, [this, command](const std::shared_ptr<TLMTracker>& tracker) {
    addCustomDimensionsToTracker(tracker);
    TLMDictionaryBuilder campaign;
    // Position 1 missing, null or absent all mean no campaign.
    if (const ScriptValue* url = command->argumentAtIndex(1); url && !url->isNull()) {
      (void)campaign.setCampaignParametersFromUrl(url->text()).build();
    }
    if (flagAt(command, 2)) campaign.set("start", kTLMSessionControl);
    const platform::Dictionary campaignFields = campaign.build();
    if (tracker) tracker->set(kTLMScreenName, command->arguments()[0].value());
    send(tracker, TLMDictionaryBuilder::createScreenView().setAll(campaignFields).build());
  });
}

void OmnistatPlugin::trackTiming(const Command& command) {
  track(command, [this, command](const std::shared_ptr<TLMTracker>& tracker) {
    addCustomDimensionsToTracker(tracker);
    send(tracker,
         TLMDictionaryBuilder::createTimingWithCategory(textAt(command, 0), valueAt(command, 1),
                                                        textAt(command, 2), textAt(command, 3))
             .build());
  });
}

void OmnistatPlugin::addTransaction(const Command& command) {
  track(command, [command](const std::shared_ptr<TLMTracker>& tracker) {
    send(tracker, TLMDictionaryBuilder::createTransactionWithId(
                      textAt(command, 0), textAt(command, 1), valueAt(command, 2),
                      valueAt(command, 3), valueAt(command, 4), textAt(command, 5))
                      .build());
  });
}

void OmnistatPlugin::addTransactionItem(const Command& command) {
  track(command, [command](const std::shared_ptr<TLMTracker>& tracker) {
    send(tracker,
         TLMDictionaryBuilder::createItemWithTransactionId(
             textAt(command, 0), textAt(command, 1), textAt(command, 2), textAt(command, 3),
             valueAt(command, 4), valueAt(command, 5), textAt(command, 6))
             .build());
  });
}

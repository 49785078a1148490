#include "TLMCampaignAttribution.h"

#include <cmath>

#include "TLM.h"
#include "TLMAnalyticsPropertiesStore.h"
#include "TLMBatchingDispatcher.h"
#include "TLMFields.h"
#include "TLMHitUtil.h"
#include "TLMLog.h"
#include "TLMTracker.h"
#include "platform/Foundation/ClassRegistry.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"
#include "platform/Foundation/UserDefaults.h"
#include "platform/iAd/ADClient.h"

namespace {

using platform::Date;
using platform::Dictionary;
using platform::Value;

constexpr char kCampaignInfoKey[] = "TLMCampaignInfoIAd";
constexpr double kCampaignWindowSeconds = 86400.0;

}  // namespace

TLMCampaignAttribution::TLMCampaignAttribution(
    std::shared_ptr<TLMAnalyticsPropertiesStore> propertiesStore)
    : propertiesStore_(std::move(propertiesStore)) {}

std::shared_ptr<platform::ADClient> TLMCampaignAttribution::adClientInstance() {
  return platform::ClassRegistry::lookupAs<platform::ADClient>("ADClient");
}

std::optional<Dictionary> TLMCampaignAttribution::buildCampaignHit(const Dictionary& parameters) {
  const Value* clientId = platform::find(parameters, kTLMClientId);
  const Value* trackingId = platform::find(parameters, kTLMTrackingId);
  if (!clientId || !trackingId) return std::nullopt;
  Dictionary hit{{kTLMClientId, *clientId}, {kTLMTrackingId, *trackingId}};
  for (const char* key : {kTLMAdTargetingEnabled, kTLMAppId, kTLMAppInstallerId, kTLMAppName,
                          kTLMAppVersion, kTLMIdfa, kTLMUserId}) {
    if (const Value* v = platform::find(parameters, key)) hit.emplace(key, *v);
  }
  hit.insert_or_assign(kTLMHitType, std::string(kTLMData));
  hit.insert_or_assign(kTLMCampaignSource, std::string("iAd"));
  hit.insert_or_assign(kTLMNonInteraction, std::string("1"));
  return hit;
}

bool TLMCampaignAttribution::checkHit(const Dictionary& parameters) {
  if (const std::string* source = TLMHitUtil::stringParameter(parameters, kTLMCampaignSource);
      source && *source == "iAd") {
    return false;
  }
  std::shared_ptr<platform::ADClient> client = adClientInstance();
  if (!client) {
    if (!loggedNoAdClient_) {
      loggedNoAdClient_ = true;
      TLM_LOG_VERBOSE(
          "iAd campaign tracking disabled because the iAd framework is not linked. See the "
          "README's \"Campaign attribution\" for how to register an attribution client.");
    }
    return false;
  }
  const std::optional<Date> firstInitTime = windowStart();
  if (!firstInitTime) return false;
  std::optional<Dictionary> campaignHit = buildCampaignHit(parameters);
  if (!campaignHit) return false;
  // The stored hit carries the first run as its hit time.
  TLMBatchingDispatcher::insertHitTime(*firstInitTime, *campaignHit);

  if (const std::optional<Value> known =
          platform::UserDefaults::standard().objectForKey(kCampaignInfoKey)) {
    const platform::Number* attributed = std::get_if<platform::Number>(&*known);
    if (attributed && attributed->boolValue()) sendCampaignHit(std::move(*campaignHit));
    return false;
  }
  return lookUp(*client, *campaignHit);
}

std::optional<Date> TLMCampaignAttribution::windowStart() {
  const std::optional<Value> firstInit =
      platform::UserDefaults::standard().objectForKey(kFirstInitTimeStampKey);
  const Date* firstInitTime = firstInit ? std::get_if<Date>(&*firstInit) : nullptr;
  if (!firstInitTime) {
    TLM_LOG_ERROR("iAd campaign tracking disabled because the TLM init time was not found.");
    return std::nullopt;
  }
  if (std::fabs(Date::now().timeIntervalSinceDate(*firstInitTime)) > kCampaignWindowSeconds) {
    if (!loggedPastWindow_) {
      loggedPastWindow_ = true;
      TLM_LOG_VERBOSE(
          "iAd campaign tracking disabled because the current date is past the campaign window.");
    }
    return std::nullopt;
  }
  return *firstInitTime;
}

bool TLMCampaignAttribution::lookUp(platform::ADClient& client, const Dictionary& campaignHit) {
  std::weak_ptr<TLMCampaignAttribution> weak = weak_from_this();
  if (client.respondsToLookupAdConversionDetails()) {
    client.lookupAdConversionDetails(
        [weak, hit = campaignHit](std::optional<Date>, std::optional<Date> impressionDate) {
          if (auto self = weak.lock()) self->handleResult(impressionDate.has_value(), hit);
        });
    return true;
  }
  if (client.respondsToDetermineAppInstallationAttribution()) {
    client.determineAppInstallationAttributionWithCompletionHandler(
        [weak, hit = campaignHit](bool attributed) {
          if (auto self = weak.lock()) self->handleResult(attributed, hit);
        });
    return true;
  }
  return false;
}

void TLMCampaignAttribution::handleResult(bool attributed, Dictionary campaignHit) {
  platform::UserDefaults& defaults = platform::UserDefaults::standard();
  if (!defaults.objectForKey(kCampaignInfoKey)) {
    defaults.setObject(kCampaignInfoKey, platform::Number(attributed));
    defaults.synchronize();
  }
  if (attributed) sendCampaignHit(std::move(campaignHit));
}

void TLMCampaignAttribution::sendCampaignHit(Dictionary campaignHit) {
  platform::Thread& worker = TLM::thread();
  if (!worker.isCurrent()) {
    std::shared_ptr<TLMCampaignAttribution> self = shared_from_this();
    worker.runLoop().post([self, campaignHit] { self->sendCampaignHit(campaignHit); });
    return;
  }
  const std::string* trackingId = TLMHitUtil::stringParameter(campaignHit, kTLMTrackingId);
  if (!trackingId) return;
  if (trackerIdCache_.count(*trackingId)) return;
  trackerIdCache_.emplace(*trackingId, true);
  if (!propertiesStore_->setCheckedIAdCampaignForTrackingId(*trackingId)) return;
  TLM_LOG_VERBOSE("Sending iAd campaign attribution.");
  // The tracker is found (or made) and sent through on the main loop, never
  // here: that takes the root's instance lock and the tracker's lock, whose
  // holders may be waiting for "TLMThread" (a client id still being read),
  // and "TLMThread" must never wait for them in turn.
  platform::RunLoop::main().post([trackingId = *trackingId, campaignHit] {
    if (std::shared_ptr<TLMTracker> tracker =
            TLM::sharedInstance().trackerWithTrackingId(trackingId)) {
      tracker->send(campaignHit);
    }
  });
}

#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/Foundation/Date.h"
#include "platform/Foundation/Value.h"

class TLMAnalyticsPropertiesStore;

namespace platform {
class ADClient;
}  // namespace platform

// The one-time ad-campaign hit: during the first day after the library
// first ran, each queued hit asks the platform's attribution client (looked
// up by name; without one the feature is off) whether the installation came
// from an ad campaign. The first answer is kept in the user defaults for
// good; while it says yes, one "data" hit with campaign source "iAd", dated
// at the first run, is sent per tracking id, through that id's tracker.
//
// Threads: checkHit() and sendCampaignHit()'s work run on "TLMThread", which
// alone touches the cache of tracking ids and the log-once flags;
// sendCampaignHit() moves itself there. The attribution client answers on a
// thread of its own into handleResult(), which touches only the user
// defaults before moving over. The hit is handed to its tracker on the main
// loop: "TLMThread" takes neither the root's nor a tracker's lock.
class TLMCampaignAttribution final : public std::enable_shared_from_this<TLMCampaignAttribution> {
 public:
  // The user-defaults key of when the library first ran (a date), which the
  // service root writes once: the campaign window is a day either side.
  static constexpr char kFirstInitTimeStampKey[] = "TLMFirstInitTimeStamp";

  explicit TLMCampaignAttribution(std::shared_ptr<TLMAnalyticsPropertiesStore> propertiesStore);

  // Looks at a hit just stored; true only when a lookup was started (the
  // answer comes later).
  bool checkHit(const platform::Dictionary& parameters);
  // The registered attribution client, or null.
  static std::shared_ptr<platform::ADClient> adClientInstance();
  // The campaign hit for a hit's parameters; none without a client id and
  // a tracking id.
  static std::optional<platform::Dictionary> buildCampaignHit(
      const platform::Dictionary& parameters);
  // The client's answer: kept when it is the first, and the hit sent when
  // it says the installation was attributed.
  void handleResult(bool attributed, platform::Dictionary campaignHit);
  // Sends the hit once per tracking id (in this process and for good).
  void sendCampaignHit(platform::Dictionary campaignHit);

 private:
  // The start of the campaign window, when now is within it.
  std::optional<platform::Date> windowStart();
  // Asks `client` for the attribution; false when it answers neither way.
  bool lookUp(platform::ADClient& client, const platform::Dictionary& campaignHit);

  std::shared_ptr<TLMAnalyticsPropertiesStore> propertiesStore_;
  std::map<std::string, bool, std::less<>> trackerIdCache_;
  bool loggedNoAdClient_ = false;
  bool loggedPastWindow_ = false;
};

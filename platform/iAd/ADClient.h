#pragma once

#include <functional>
#include <optional>

#include "platform/Foundation/ClassRegistry.h"
#include "platform/Foundation/Date.h"

namespace platform {

// The ad-attribution client an application may register in the
// ClassRegistry under "ADClient" (the registered object is the shared
// client). It answers, asynchronously and on a thread of its own choosing,
// whether the application was installed from an ad campaign, through either
// of two calls; a client offers one or both, and says which.
// Nothing of the kind exists on Linux unless an application supplies it.
class ADClient : public Object {
 public:
  using ConversionDetailsHandler =
      std::function<void(std::optional<Date> purchaseDate, std::optional<Date> impressionDate)>;
  using AttributionHandler = std::function<void(bool attributed)>;

  virtual bool respondsToLookupAdConversionDetails() const { return false; }
  virtual void lookupAdConversionDetails(ConversionDetailsHandler) {}

  virtual bool respondsToDetermineAppInstallationAttribution() const { return false; }
  virtual void determineAppInstallationAttributionWithCompletionHandler(AttributionHandler) {}
};

}  // namespace platform

#include "TLMTrackedViewController.h"

#include "TLM.h"
#include "TLMFields.h"
#include "TLMLog.h"

void TLMTrackedViewController::viewDidAppear(bool animated) {
  UIViewController::viewDidAppear(animated);
  if (!screenName_) {
    TLM_LOG_INFO("Tracked view controller missing view name.");
    return;
  }
  std::shared_ptr<TLMTracker> tracker = tracker_.lock();
  if (!tracker) tracker = TLM::sharedInstance().defaultTracker();
  if (!tracker) return;

  tracker->tlm_set(kTLMScreenName, *screenName_);
  tracker->tlm_send({{kTLMHitType, std::string(kTLMScreenView)}});
}

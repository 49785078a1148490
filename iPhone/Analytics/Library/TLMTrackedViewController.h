#pragma once

/// @file
/// TLMTrackedViewController: a screen controller that sends its screen views.

#include <memory>
#include <optional>
#include <string>

#include "TLMTracker.h"
#include "platform/UIKit/UIViewController.h"

/// A screen controller that sends a screen view each time its screen comes
/// into view: derive from it and give it a screen name. The name is set as
/// the tracker's screen name ("&cd"), so it also goes with the tracker's later
/// hits until another screen changes it. The sends use the tracker's internal
/// operations and are not recorded in the usage sequence.
///
/// Used on the UI thread only. The tracker is not owned: when it is not set,
/// or is gone, the service root's default tracker is used.
class TLMTrackedViewController : public UIViewController {
 public:
  /// Sends the screen view, after the base class's viewDidAppear(). Without a
  /// screen name it logs "Tracked view controller missing view name." (info)
  /// and sends nothing.
  void viewDidAppear(bool animated) override;

  /// The tracker the screen views go to; null when unset or gone.
  std::shared_ptr<TLMTracker> tracker() const { return tracker_.lock(); }
  /// Sets the tracker the screen views go to, held weakly.
  void setTracker(const std::shared_ptr<TLMTracker>& tracker) { tracker_ = tracker; }
  /// The screen name the views carry ("&cd").
  const std::optional<std::string>& screenName() const { return screenName_; }
  /// Sets the screen name the views carry.
  void setScreenName(std::optional<std::string> screenName) { screenName_ = std::move(screenName); }

 private:
  std::weak_ptr<TLMTracker> tracker_;
  std::optional<std::string> screenName_;
};

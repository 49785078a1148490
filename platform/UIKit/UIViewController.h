#pragma once

/// @file
/// UIViewController: the base of the application's screen controllers.

/// The base of the application's screen controllers. The shell tells a
/// controller when its screen has come into view; a subclass that overrides
/// viewDidAppear() calls this base first. Used on the UI thread only.
class UIViewController {
 public:
  /// Destroys the controller.
  virtual ~UIViewController();

  /// The controller's screen has come into view (`animated`: with an
  /// animation).
  virtual void viewDidAppear(bool animated);
};

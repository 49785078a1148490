#pragma once

// The base of the application's screen controllers. The shell tells a
// controller when its screen has come into view; a subclass that overrides
// viewDidAppear() calls this base first. Used on the UI thread only.
class UIViewController {
 public:
  virtual ~UIViewController();

  virtual void viewDidAppear(bool animated);
};

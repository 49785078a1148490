#pragma once

#include "platform/Foundation/ClassRegistry.h"

// The application's main window, made by class name ("UIMainWindow" in the
// class registry) when the application has launched.
// Threads: main thread only.
class UIWindow : public platform::Object {
 public:
  // Shows the window and brings it to the front.
  virtual void makeKeyAndVisible() = 0;
  // The toolkit's window (a GtkWindow*), whose focus, state and closing
  // drive the application's life cycle.
  virtual void* nativeWindow() = 0;
};

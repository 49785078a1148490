#pragma once

// Starts the application and runs its main loop until it ends; answers the
// process's exit status.
//
// The application (UIApplication, or the class registered under
// principalClassName) and its delegate (registered under delegateClassName,
// a platform::Class making a UIApplicationDelegate) are made by class name.
// Once launched, the window registered as "UIMainWindow" is made and shown.
// Each argument that does not begin with "--" is a URL to open: at a cold
// start after launching, in a running instance (GApplication's "open", where
// a session bus lets a second start find the first) handed to it.
//
// The main thread runs GTK and the platform's main run loop together. The
// window's focus gives the active and resign-active moves, minimising the
// background ones; closing the window, SIGTERM or SIGINT gives "will
// terminate" (the hit store saves) and a clean exit with status 0.
//
// Threads: call on the program's main thread, once.
int UIApplicationMain(int argc, char** argv, const char* principalClassName,
                      const char* delegateClassName);

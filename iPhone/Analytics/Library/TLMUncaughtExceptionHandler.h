#pragma once

#include "platform/Foundation/Exception.h"

// The library's uncaught-exception handler: reports the exception as a fatal
// exception hit through the default tracker, asks for a dispatch, turns the
// failing thread's run loop for five seconds so the hit can leave, then calls
// the handler that was installed before it. Only the first exception of the
// process is reported; a later one, on any thread, is logged and its thread
// waits (turning its run loop) until the first one's handler has finished.
// Threads: runs on the thread whose exception escaped; the hit is handed over
// from a thread of its own (see the source).
void TLMUncaughtExceptionHandler(const platform::Exception& exception);

// Installs the handler, remembering the one in place (unless ours already
// is). Idempotent. Called by the service root under its instance lock.
void TLMInstallExceptionHandler();

// Puts the remembered handler back, only if ours is the one installed.
void TLMRemoveExceptionHandler();

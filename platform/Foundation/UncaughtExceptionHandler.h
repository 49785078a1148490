#pragma once

#include "platform/Foundation/Exception.h"

namespace platform {

// The process's uncaught-exception handler slot. When an exception escapes
// (std::terminate runs with an active exception), the installed handler is
// called on the failing thread with the exception's name (its type), reason
// (what()) and call stack; then the process aborts as it would have. The slot
// is wired to std::set_terminate the first time a handler is set.
// Threads: safe from any thread.
using UncaughtExceptionHandler = void (*)(const Exception&);

UncaughtExceptionHandler getUncaughtExceptionHandler();
void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);

}  // namespace platform

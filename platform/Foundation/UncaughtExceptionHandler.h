#pragma once

/// @file
/// platform::setUncaughtExceptionHandler: the process's handler slot.

#include "platform/Foundation/Exception.h"

namespace platform {

/// The process's uncaught-exception handler slot. When an exception escapes
/// (std::terminate runs with an active exception), the installed handler is
/// called on the failing thread with the exception's name (its dynamic type,
/// demangled), reason (what() of a std::exception, else empty) and call stack;
/// then the process ends as it would have: the terminate handler that was in
/// place before runs, or the process aborts. A handler that throws or
/// terminates itself is not called again. std::terminate without an active
/// exception calls no handler. The slot is wired to std::set_terminate the
/// first time a handler is set; clearing it leaves the wiring in place.
/// Threads: safe from any thread; the slot is an atomic.
using UncaughtExceptionHandler = void (*)(const Exception&);

/// The handler in the slot; null when there is none.
UncaughtExceptionHandler getUncaughtExceptionHandler();
/// Puts `handler` in the slot; null clears it.
void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);

}  // namespace platform

#include "platform/Foundation/UncaughtExceptionHandler.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <typeinfo>

namespace platform {

namespace {

// The slot and the terminate handler that was in place before ours. Both are
// atomics: the slot is set from any thread and read on whichever thread fails.
std::atomic<UncaughtExceptionHandler> gHandler{nullptr};
std::atomic<std::terminate_handler> gPreviousTerminate{nullptr};
std::once_flag gInstalled;

std::string typeName(const std::type_info* type) {
  if (!type) return "unknown";
  int status = 0;
  char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type->name();
  std::free(demangled);
  return name;
}

// The exception std::terminate is running for, if any. Its stack is still
// there: an exception that no handler catches is not unwound before
// std::terminate runs, so the stack taken here shows where it was thrown.
std::optional<Exception> describeCurrentException() {
  std::exception_ptr current = std::current_exception();
  if (!current) return std::nullopt;
  Exception exception;
  exception.name = typeName(abi::__cxa_current_exception_type());
  try {
    std::rethrow_exception(current);
  } catch (const Exception& thrown) {
    if (!thrown.name.empty()) exception.name = thrown.name;
    exception.reason = thrown.reason;
    exception.callStackSymbols = thrown.callStackSymbols;
  } catch (const std::exception& thrown) {
    exception.reason = thrown.what();
  } catch (...) {
    // Any other type has no reason to give; its name is enough.
  }
  if (exception.callStackSymbols.empty()) exception.callStackSymbols = currentCallStackSymbols();
  return exception;
}

[[noreturn]] void onTerminate() {
  // A handler that fails in turn calls std::terminate again; that second
  // call must not loop back into the handler.
  thread_local bool entered = false;
  if (!entered) {
    entered = true;
    try {
      if (UncaughtExceptionHandler handler = gHandler.load()) {
        if (auto exception = describeCurrentException()) handler(*exception);
      }
    } catch (...) {
      // A handler that throws still lets the process end the usual way.
    }
  }
  if (std::terminate_handler previous = gPreviousTerminate.load()) previous();
  std::abort();
}

}  // namespace

UncaughtExceptionHandler getUncaughtExceptionHandler() {
  return gHandler.load();
}

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) {
  gHandler.store(handler);
  if (handler) {
    std::call_once(gInstalled, [] { gPreviousTerminate.store(std::set_terminate(&onTerminate)); });
  }
}

}  // namespace platform

#include "platform/Foundation/UncaughtExceptionHandler.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <typeinfo>

#include "platform/Foundation/Symbolizer.h"

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

// The runtime's functions that raise an exception: the throw itself, a
// rethrow, std::rethrow_exception, and a sanitizer's wrapper of the throw.
bool isRaisingFunction(std::string_view mangled) {
  return mangled.find("__cxa_throw") != std::string_view::npos ||
         mangled.find("__cxa_rethrow") != std::string_view::npos ||
         mangled.find("rethrow_exception") != std::string_view::npos;
}

bool isTerminateFunction(std::string_view mangled) {
  return mangled == "_ZSt9terminatev" || mangled == "__cxa_call_terminate" ||
         mangled.find("__terminateEPFvvE") != std::string_view::npos;
}

// The stack of the exception std::terminate runs for, as it was thrown.
// Nothing has been unwound: when no handler catches an exception the runtime
// calls std::terminate from within the throw (or, for a noexcept function on
// the way, from the unwinder still running inside it), so below the throw
// the stack is still the thrower's. The runtime's frames and this handler's
// are left out but for the two innermost lines, which show the raising
// function as the platform's own raise does.
std::vector<std::string> thrownCallStackSymbols() {
  constexpr int kMaxFrames = 128;
  constexpr int kSearchDepth = 32;
  void* frames[kMaxFrames];
  const int count = ::backtrace(frames, kMaxFrames);
  // One symbolizer names the frames for the search and for the lines.
  Symbolizer symbols;
  int raise = -1;
  int terminate = -1;
  for (int i = 0; i < count && i < kSearchDepth; ++i) {
    const std::string name = symbols.frame(reinterpret_cast<uintptr_t>(frames[i])).symbol;
    if (isRaisingFunction(name)) {
      raise = i;  // a sanitizer's wrapper sits right outside the runtime's throw
    } else if (raise >= 0) {
      break;
    } else if (isTerminateFunction(name)) {
      terminate = i;
    }
  }
  const int last = raise >= 0 ? raise : terminate;
  const int first = last >= 1 ? last - 1 : 0;
  return callStackSymbols(frames + first, static_cast<size_t>(count - first), symbols);
}

// The exception std::terminate is running for, if any.
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
  if (exception.callStackSymbols.empty()) exception.callStackSymbols = thrownCallStackSymbols();
  return exception;
}

[[noreturn]] void onTerminate() {
  // A handler that fails in turn calls std::terminate again; that second
  // call must not loop back into the handler.
  thread_local bool entered = false;
  if (!entered) {
    entered = true;
    if (UncaughtExceptionHandler handler = gHandler.load()) {
      // Taken first: inside a catch below, the "current" exception is the
      // one that catch caught.
      const std::type_info* type = abi::__cxa_current_exception_type();
      const bool active = std::current_exception() != nullptr;
      std::optional<Exception> exception;
      try {
        exception = describeCurrentException();
      } catch (...) {
        // Describing needs memory and the symbol table; without them the
        // handler still hears of the exception, by its name.
        if (active) exception = Exception{typeName(type), "", {}};
      }
      try {
        if (exception) handler(*exception);
      } catch (...) {
        // A handler that throws still lets the process end the usual way.
      }
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

#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "TLM.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/Foundation/Thread.h"

// Runs `work` on "TLMThread", where the library's stores live, and answers its
// result once it has run.
template <typename Work>
auto onTLMThread(Work&& work) {
  using Result = std::invoke_result_t<Work&>;
  if constexpr (std::is_void_v<Result>) {
    TLM::thread().runLoop().postAndWait([&] { work(); });
  } else {
    std::optional<Result> result;
    TLM::thread().runLoop().postAndWait([&] { result.emplace(work()); });
    return std::move(*result);
  }
}

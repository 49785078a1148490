#include "platform/Foundation/Date.h"

#include <chrono>

namespace platform {

Date Date::now() {
  using namespace std::chrono;
  const auto since1970 = duration<double>(system_clock::now().time_since_epoch()).count();
  return withTimeIntervalSince1970(since1970);
}

}  // namespace platform

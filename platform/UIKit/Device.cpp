#include "platform/UIKit/Device.h"

#include <sys/utsname.h>

namespace platform {

namespace {

// uname(2) cannot fail with a valid buffer; the empty answer is only a guard.
struct utsname systemNames() {
  struct utsname names {};
  if (::uname(&names) != 0) names = {};
  return names;
}

}  // namespace

std::string Device::model() {
  return "PC";
}

std::string Device::systemName() {
  return systemNames().sysname;
}

std::string Device::systemVersion() {
  return systemNames().release;
}

std::string Device::machine() {
  return systemNames().machine;
}

}  // namespace platform

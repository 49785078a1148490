#pragma once

#include <string>

namespace platform {

// Facts about this device, from uname(2). model() is the kind of device
// ("PC" here, where a phone would say "iPhone"); systemName() and
// systemVersion() the kernel's name and release; machine() the hardware
// string ("x86_64"). Safe from any thread.
class Device {
 public:
  static std::string model();
  static std::string systemName();
  static std::string systemVersion();
  static std::string machine();
};

}  // namespace platform

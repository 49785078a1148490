#include "platform/Foundation/Date.h"

#include "platform/Foundation/Environment.h"

namespace platform {

Date Date::now() {
  return Environment::current()->now();
}

}  // namespace platform

#pragma once

#include <memory>

#include "platform/Foundation/ClassRegistry.h"

namespace platform {

// A class that can be registered by name and made from its name, for code
// that is told which class to make only at run time (the application's
// delegate, its main window).
class Class : public Object {
 public:
  virtual std::shared_ptr<Object> make() const = 0;
};

template <class T>
class ClassOf : public Class {
 public:
  std::shared_ptr<Object> make() const override { return std::make_shared<T>(); }
};

}  // namespace platform

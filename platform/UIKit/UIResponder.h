#pragma once

#include "platform/Foundation/ClassRegistry.h"

// The base of the application and its delegate: something that can be made
// by class name.
class UIResponder : public platform::Object {};

#pragma once

/// @file
/// Flag observation: the observer interface and the registry an observable
/// object keeps.
#include "platform/Foundation/FlagObserver.h"
#include "platform/Foundation/FlagObservers.h"

// Built only by the PlatformLayer.RefusesLibraryPath test, which passes when
// this file fails to compile for the reason below: the platform's include
// root holds the platform alone, so the library's headers are not found
// from it by their path in the source tree.
// A platform header is found: the failure below is the only one.
#include "platform/Foundation/RunLoop.h"

#include "iPhone/Analytics/Library/TLM.h"

// Built only by the PlatformLayer.RefusesLibraryName test, which passes when
// this file fails to compile for the reason below: the library's folder is
// not on the platform's include path, so its headers are not found by name.
// A platform header is found: the failure below is the only one.
#include "platform/Foundation/RunLoop.h"

#include "TLMDispatcher.h"

// Read only by the PlatformLayer.RefusesAPathOutOfIt test: the build's
// include check must refuse the second line, a path from a platform folder
// out to the library, which the compiler would find.
#include "platform/Foundation/RunLoop.h"

#include "../../iPhone/Analytics/Library/TLM.h"

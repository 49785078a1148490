// Fuzzes the decoder of stored parameter dictionaries: the bytes of a hit
// read back from its store file, which a damaged or foreign file may make
// anything. An input is one stored value.
//
// Checks, beyond "no crash, no leak, no undefined behaviour": whatever
// decodes encodes again, and that encoding decodes to the same dictionary
// (compared by its encoding, which a NaN number keeps equal to itself).

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/CoreData/DictionaryArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::DictionaryArchive;
  const platform::Data stored(data, data + size);
  const std::optional<platform::Dictionary> decoded = DictionaryArchive::decode(stored);
  if (!decoded) return 0;
  const std::optional<platform::Data> encoded = DictionaryArchive::encode(*decoded);
  if (!encoded) std::abort();
  const std::optional<platform::Dictionary> again = DictionaryArchive::decode(*encoded);
  if (!again || again->size() != decoded->size()) std::abort();
  if (DictionaryArchive::encode(*again) != encoded) std::abort();
  return 0;
}

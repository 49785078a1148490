#pragma once

#include <optional>

#include "platform/CoreData/ObjectValue.h"
#include "platform/Foundation/Value.h"

namespace platform {

// The stored form of a parameter dictionary: a versioned archive that holds
// only string keys mapped to strings, numbers (integer, unsigned, floating,
// boolean) and the null marker. The body after the header is a CBOR map.
//
// Stored bytes are never trusted: decode() answers nothing for anything but
// a well-formed archive of this version, a single flat map of exactly those
// kinds with no repeated key and nothing after it. A date has no place in a
// parameter dictionary, so a dictionary holding one cannot be encoded.
//
// Threads: pure functions, safe on any thread.
class DictionaryArchive {
 public:
  DictionaryArchive() = delete;

  static constexpr unsigned char kVersion = 1;

  static bool canEncode(const Dictionary& dictionary);
  static std::optional<Data> encode(const Dictionary& dictionary);
  static std::optional<Dictionary> decode(const Data& data);
};

}  // namespace platform

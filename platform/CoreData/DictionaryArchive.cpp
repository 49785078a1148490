#include "platform/CoreData/DictionaryArchive.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace platform {

namespace {

// "HDA" and the version: a blob that does not start so is not ours.
constexpr unsigned char kMagic[] = {'H', 'D', 'A'};
constexpr size_t kHeaderSize = sizeof kMagic + 1;

// CBOR major types (RFC 8949), in the top three bits of an item's first byte.
enum Major : uint8_t { kUnsigned = 0, kNegative = 1, kText = 3, kMap = 5, kSimple = 7 };
constexpr uint8_t kCborFalse = 0xF4, kCborTrue = 0xF5, kCborNull = 0xF6, kHalf = 0xF9,
                  kSingle = 0xFA, kDouble = 0xFB;

// Writes the smallest encoding of each item, as general CBOR encoders do, so
// that the same dictionary always gives the same bytes.
class Writer {
 public:
  explicit Writer(Data& out) : out_(out) {}

  void head(Major major, uint64_t n) {
    const auto type = static_cast<uint8_t>(major << 5);
    if (n <= 0x17) {
      out_.push_back(static_cast<uint8_t>(type | n));
    } else if (n <= 0xFF) {
      out_.push_back(type | 24);
      bigEndian(n, 1);
    } else if (n <= 0xFFFF) {
      out_.push_back(type | 25);
      bigEndian(n, 2);
    } else if (n <= 0xFFFFFFFF) {
      out_.push_back(type | 26);
      bigEndian(n, 4);
    } else {
      out_.push_back(type | 27);
      bigEndian(n, 8);
    }
  }

  void text(std::string_view s) {
    head(kText, s.size());
    out_.insert(out_.end(), s.begin(), s.end());
  }

  void number(const Number& number) {
    switch (number.kind()) {
      case Number::Kind::Integer: {
        const long long v = number.longLongValue();
        // -1 - v cannot overflow for a negative v.
        if (v < 0) return head(kNegative, static_cast<uint64_t>(-1 - v));
        return head(kUnsigned, static_cast<uint64_t>(v));
      }
      case Number::Kind::Unsigned:
        return head(kUnsigned, number.unsignedLongLongValue());
      case Number::Kind::Floating:
        return floating(number.doubleValue());
      case Number::Kind::Boolean:
        out_.push_back(number.boolValue() ? kCborTrue : kCborFalse);
        return;
    }
  }

 private:
  // A NaN or an infinity as a half; a value a float holds exactly as a
  // float; anything else as a double.
  void floating(double v) {
    if (std::isnan(v) || std::isinf(v)) {
      out_.push_back(kHalf);
      out_.push_back(std::isnan(v) ? 0x7E : (v > 0 ? 0x7C : 0xFC));
      out_.push_back(0x00);
    } else if (v >= std::numeric_limits<float>::lowest() &&
               v <= std::numeric_limits<float>::max() &&
               static_cast<double>(static_cast<float>(v)) == v) {
      out_.push_back(kSingle);
      bigEndian(std::bit_cast<uint32_t>(static_cast<float>(v)), 4);
    } else {
      out_.push_back(kDouble);
      bigEndian(std::bit_cast<uint64_t>(v), 8);
    }
  }

  void bigEndian(uint64_t n, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
      out_.push_back(static_cast<uint8_t>(n >> shift));
  }

  Data& out_;
};

// Reads one flat map and stops at the first thing that does not belong in
// a parameter dictionary: a root that is not a map, any nesting, byte
// strings, tags, repeated keys, lengths past the end, bytes after the map.
// Lengths and values may use any width CBOR allows; indefinite lengths are
// refused (the writer never makes them).
class Reader {
 public:
  Reader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

  std::optional<Dictionary> map() {
    uint64_t count = 0;
    if (!head(kMap, count)) return std::nullopt;
    Dictionary result;
    for (uint64_t i = 0; i < count; ++i) {
      std::string key;
      if (!text(key)) return std::nullopt;
      Value value;
      if (!item(value)) return std::nullopt;
      if (!result.emplace(std::move(key), std::move(value)).second) return std::nullopt;
    }
    if (p_ != end_) return std::nullopt;
    return result;
  }

 private:
  bool item(Value& value) {
    if (p_ == end_) return false;
    const auto major = static_cast<Major>(*p_ >> 5);
    uint64_t n = 0;
    switch (major) {
      case kUnsigned:
        if (!head(kUnsigned, n)) return false;
        value = Number(static_cast<unsigned long long>(n));
        return true;
      case kNegative:
        if (!head(kNegative, n) || n > uint64_t(std::numeric_limits<long long>::max())) {
          return false;
        }
        value = Number(-1 - static_cast<long long>(n));
        return true;
      case kText: {
        std::string s;
        if (!text(s)) return false;
        value = std::move(s);
        return true;
      }
      case kSimple:
        return simple(value);
      default:
        return false;
    }
  }

  bool simple(Value& value) {
    const uint8_t first = *p_++;
    uint64_t bits = 0;
    switch (first) {
      case kCborFalse:
      case kCborTrue:
        value = Number(first == kCborTrue);
        return true;
      case kCborNull:
        value = Null{};
        return true;
      case kHalf:
        if (!bigEndian(2, bits)) return false;
        value = Number(half(static_cast<uint16_t>(bits)));
        return true;
      case kSingle:
        if (!bigEndian(4, bits)) return false;
        value = Number(static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(bits))));
        return true;
      case kDouble:
        if (!bigEndian(8, bits)) return false;
        value = Number(std::bit_cast<double>(bits));
        return true;
      default:
        return false;
    }
  }

  static double half(uint16_t bits) {
    const int exponent = (bits >> 10) & 0x1F;
    const unsigned mantissa = bits & 0x3FF;
    double v = exponent == 0    ? std::ldexp(mantissa, -24)
               : exponent == 31 ? (mantissa == 0 ? std::numeric_limits<double>::infinity()
                                                 : std::numeric_limits<double>::quiet_NaN())
                                : std::ldexp(mantissa + 1024, exponent - 25);
    return (bits & 0x8000) ? -v : v;
  }

  bool text(std::string& s) {
    uint64_t length = 0;
    if (!head(kText, length) || length > static_cast<uint64_t>(end_ - p_)) return false;
    s.assign(reinterpret_cast<const char*>(p_), static_cast<size_t>(length));
    p_ += length;
    return true;
  }

  // An item's first byte of the given major type and the number it carries.
  bool head(Major major, uint64_t& n) {
    if (p_ == end_ || (*p_ >> 5) != major) return false;
    const uint8_t info = *p_++ & 0x1F;
    if (info <= 0x17) {
      n = info;
      return true;
    }
    if (info > 27) return false;  // reserved, or an indefinite length
    return bigEndian(1 << (info - 24), n);
  }

  bool bigEndian(int bytes, uint64_t& n) {
    if (end_ - p_ < bytes) return false;
    n = 0;
    for (int i = 0; i < bytes; ++i)
      n = (n << 8) | *p_++;
    return true;
  }

  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace

bool DictionaryArchive::canEncode(const Dictionary& dictionary) {
  for (const auto& entry : dictionary) {
    if (isDate(entry.second)) return false;
  }
  return true;
}

std::optional<Data> DictionaryArchive::encode(const Dictionary& dictionary) {
  if (!canEncode(dictionary)) return std::nullopt;
  Data data(std::begin(kMagic), std::end(kMagic));
  data.push_back(kVersion);
  Writer writer(data);
  writer.head(kMap, dictionary.size());
  for (const auto& [key, value] : dictionary) {
    writer.text(key);
    if (const auto* text = std::get_if<std::string>(&value)) {
      writer.text(*text);
    } else if (const auto* number = std::get_if<Number>(&value)) {
      writer.number(*number);
    } else {
      data.push_back(kCborNull);
    }
  }
  return data;
}

std::optional<Dictionary> DictionaryArchive::decode(const Data& data) {
  if (data.size() <= kHeaderSize ||
      !std::equal(std::begin(kMagic), std::end(kMagic), data.begin()) ||
      data[sizeof kMagic] != kVersion) {
    return std::nullopt;
  }
  return Reader(data.data() + kHeaderSize, data.data() + data.size()).map();
}

}  // namespace platform

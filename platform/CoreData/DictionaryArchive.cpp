#include "platform/CoreData/DictionaryArchive.h"

#include <nlohmann/json.hpp>

namespace platform {

namespace {

// "HDA" and the version: a blob that does not start so is not ours.
constexpr unsigned char kMagic[] = {'H', 'D', 'A'};
constexpr size_t kHeaderSize = sizeof kMagic + 1;

using Json = nlohmann::json;

// Reads the CBOR body straight into a Dictionary and stops at the first
// thing that does not belong in one: a root that is not a map, any nesting,
// byte strings, repeated keys. Stopping early also bounds the reader's
// recursion, however deeply a hostile body nests.
class FlatDictionaryReader : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return value(Null{}); }
  bool boolean(bool v) override { return value(Number(v)); }
  bool number_integer(number_integer_t v) override {
    return value(Number(static_cast<long long>(v)));
  }
  bool number_unsigned(number_unsigned_t v) override {
    return value(Number(static_cast<unsigned long long>(v)));
  }
  bool number_float(number_float_t v, const string_t&) override { return value(Number(v)); }
  bool string(string_t& v) override { return value(std::move(v)); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override {
    if (started_) return false;
    started_ = true;
    return true;
  }
  bool key(string_t& k) override {
    if (key_) return false;
    if (result_.count(k)) return false;
    key_ = std::move(k);
    return true;
  }
  bool end_object() override {
    if (key_) return false;
    finished_ = true;
    return true;
  }
  bool start_array(std::size_t) override { return false; }
  bool end_array() override { return false; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  std::optional<Dictionary> result() && {
    if (!finished_) return std::nullopt;
    return std::move(result_);
  }

 private:
  bool value(Value v) {
    if (!started_ || finished_ || !key_) return false;
    result_.emplace(std::move(*key_), std::move(v));
    key_.reset();
    return true;
  }

  bool started_ = false;
  bool finished_ = false;
  std::optional<std::string> key_;
  Dictionary result_;
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
  Json body = Json::object();
  for (const auto& [key, value] : dictionary) {
    Json& slot = body[key];
    if (const auto* text = std::get_if<std::string>(&value)) {
      slot = *text;
    } else if (const auto* number = std::get_if<Number>(&value)) {
      switch (number->kind()) {
        case Number::Kind::Integer:
          slot = number->longLongValue();
          break;
        case Number::Kind::Unsigned:
          slot = number->unsignedLongLongValue();
          break;
        case Number::Kind::Floating:
          slot = number->doubleValue();
          break;
        case Number::Kind::Boolean:
          slot = number->boolValue();
          break;
      }
    } else {
      slot = nullptr;
    }
  }
  Data data(std::begin(kMagic), std::end(kMagic));
  data.push_back(kVersion);
  Json::to_cbor(body, data);
  return data;
}

std::optional<Dictionary> DictionaryArchive::decode(const Data& data) {
  if (data.size() <= kHeaderSize ||
      !std::equal(std::begin(kMagic), std::end(kMagic), data.begin()) ||
      data[sizeof kMagic] != kVersion) {
    return std::nullopt;
  }
  FlatDictionaryReader reader;
  try {
    // strict: the map must end exactly where the bytes do.
    if (!Json::sax_parse(data.begin() + kHeaderSize, data.end(), &reader,
                         nlohmann::detail::input_format_t::cbor, /*strict=*/true)) {
      return std::nullopt;
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return std::move(reader).result();
}

}  // namespace platform

#include "platform/CoreData/Predicate.h"

namespace platform {

namespace {

// The format without its blanks, so that "%K<=%@" and "%K  <=  %@" read alike.
std::string compact(std::string_view format) {
  std::string out;
  for (char c : format) {
    if (c != ' ' && c != '\t') out += c;
  }
  return out;
}

}  // namespace

std::optional<Predicate> Predicate::predicateWithFormat(std::string_view format, std::string key,
                                                        ObjectValue value) {
  const std::string text = compact(format);
  if (text == "%K==%@") return Predicate(Operator::kEqualTo, std::move(key), std::move(value));
  if (text == "%K<=%@") {
    return Predicate(Operator::kLessThanOrEqualTo, std::move(key), std::move(value));
  }
  return std::nullopt;
}

}  // namespace platform

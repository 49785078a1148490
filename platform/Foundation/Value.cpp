#include "platform/Foundation/Value.h"

namespace platform {

std::string description(const Value& v) {
  struct Visitor {
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(const Number& n) const { return n.stringValue(); }
    std::string operator()(Null) const { return "<null>"; }
    std::string operator()(Date d) const { return Number(d.timeIntervalSince1970()).stringValue(); }
  };
  return std::visit(Visitor{}, v);
}

std::string description(const std::optional<Value>& v) {
  return v ? description(*v) : std::string("(null)");
}

std::string description(const Dictionary& d) {
  std::string out = "{";
  for (const auto& [key, value] : d) {
    if (out.size() > 1) out += ", ";
    out += key;
    out += " = ";
    out += description(value);
  }
  out += "}";
  return out;
}

}  // namespace platform

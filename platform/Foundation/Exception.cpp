#include "platform/Foundation/Exception.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/Foundation/Symbolizer.h"

namespace platform {

namespace {

constexpr int kMaxFrames = 128;

bool isIdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Readers split a frame line at white space and expect the symbol to be one
// word (two at most), so a demangled name keeps a blank only where it
// separates two words ("(anonymous namespace)"): "std::map<int, int>::at"
// reads "std::map<int,int>::at", still a name a person can read.
std::string compactSymbol(const std::string& symbol) {
  std::string out;
  out.reserve(symbol.size());
  for (size_t i = 0; i < symbol.size(); ++i) {
    if (symbol[i] == ' ') {
      const bool between = !out.empty() && isIdentifierChar(out.back()) && i + 1 < symbol.size() &&
                           isIdentifierChar(symbol[i + 1]);
      if (between) out += ' ';
      continue;
    }
    out += symbol[i];
  }
  return out;
}

// A function's name without its parameter list, the qualifiers after it
// and the return type a template function's name starts with:
// "void ns::f<1>(int, char const*) const" reads "ns::f<1>". A call stack
// names functions; their signatures would only crowd the few units a report
// has. "operator()", "operator new" and "{lambda()#1}" stay whole.
std::string functionName(std::string name) {
  static constexpr std::string_view kQualifiers[] = {" const", " volatile", " &&", " &"};
  for (bool stripped = true; stripped;) {
    stripped = false;
    for (std::string_view qualifier : kQualifiers) {
      if (name.size() > qualifier.size() && name.ends_with(qualifier)) {
        name.resize(name.size() - qualifier.size());
        stripped = true;
      }
    }
  }
  if (!name.empty() && name.back() == ')') {
    int depth = 0;
    for (size_t i = name.size(); i-- > 0;) {
      if (name[i] == ')') {
        ++depth;
      } else if (name[i] == '(' && --depth == 0) {
        if (i > 0) name.erase(i);
        break;
      }
    }
  }
  // The last blank outside brackets ends the return type, unless it follows
  // "operator" ("operator new", "operator bool").
  int depth = 0;
  for (size_t i = name.size(); i-- > 0;) {
    const char c = name[i];
    if (c == ')' || c == '>' || c == ']' || c == '}') ++depth;
    if (c == '(' || c == '<' || c == '[' || c == '{') --depth;
    if (c == ' ' && depth == 0 && !std::string_view(name).substr(0, i).ends_with("operator")) {
      return name.substr(i + 1);
    }
  }
  return name;
}

// Only "_Z" names are mangled C++: a C function called "f" must not come
// back as "float".
std::string demangledSymbol(const char* symbol) {
  if (std::strncmp(symbol, "_Z", 2) != 0) return symbol;
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? functionName(demangled) : symbol;
  std::free(demangled);
  return name;
}

std::string frameLine(size_t index, const void* address, Symbolizer& symbols) {
  const auto pc = reinterpret_cast<uintptr_t>(address);
  Symbolizer::Frame frame = symbols.frame(pc);
  for (char& c : frame.image) {
    if (c == ' ' || c == '\t') c = '_';
  }
  char head[96];
  std::snprintf(head, sizeof head, "%-4zu%-35s 0x%016" PRIxPTR " ", index, frame.image.c_str(), pc);
  std::string line = head;
  if (!frame.symbol.empty()) {
    line += compactSymbol(demangledSymbol(frame.symbol.c_str()));
    line += " + ";
    line += std::to_string(frame.offset);
  } else if (frame.image != "???") {
    // No symbol covers the address: the image and the offset into it, one
    // word, so that a reader taking the symbol still has where to look.
    char text[32];
    std::snprintf(text, sizeof text, "+0x%" PRIxPTR, frame.offset);
    line += frame.image + text;
  } else {
    char text[32];
    std::snprintf(text, sizeof text, "0x%" PRIxPTR " + 0", pc);
    line += text;
  }
  return line;
}

}  // namespace

std::string callStackLine(size_t index, const void* address) {
  Symbolizer symbols;
  return frameLine(index, address, symbols);
}

std::vector<std::string> callStackSymbols(const void* const* frames, size_t count) {
  Symbolizer symbols;
  return callStackSymbols(frames, count, symbols);
}

std::vector<std::string> callStackSymbols(const void* const* frames, size_t count,
                                          Symbolizer& symbols) {
  std::vector<std::string> lines;
  lines.reserve(count);
  for (size_t i = 0; i < count; ++i)
    lines.push_back(frameLine(i, frames[i], symbols));
  return lines;
}

__attribute__((noinline)) std::vector<std::string> currentCallStackSymbols() {
  void* frames[kMaxFrames];
  const int count = ::backtrace(frames, kMaxFrames);
  // The caller wants its own stack: leave out this function's frame and any
  // below it (a sanitizer's wrapper of backtrace adds one of its own).
  Dl_info self{};
  int first = 1;
  if (::dladdr(reinterpret_cast<const void*>(&currentCallStackSymbols), &self) != 0) {
    for (int i = 0; i < count && i < 4; ++i) {
      Dl_info info{};
      const auto pc = reinterpret_cast<uintptr_t>(frames[i]);
      if (::dladdr(reinterpret_cast<const void*>(pc - 1), &info) != 0 &&
          info.dli_saddr == self.dli_saddr) {
        first = i + 1;
        break;
      }
    }
  }
  return callStackSymbols(frames + first, static_cast<size_t>(count - first));
}

}  // namespace platform

#include "platform/Foundation/Exception.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

constexpr int kMaxFrames = 128;

bool isIdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Readers split a frame line at white space and expect the symbol to be one
// word (two at most), so a demangled name keeps a blank only where it
// separates two words ("unsigned int"): "f(int, char const*)" reads
// "f(int,char const*)", still a name a person can read.
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

// Only "_Z" names are mangled C++: a C function called "f" must not come
// back as "float".
std::string demangledSymbol(const char* symbol) {
  if (std::strncmp(symbol, "_Z", 2) != 0) return symbol;
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : symbol;
  std::free(demangled);
  return name;
}

}  // namespace

std::string callStackLine(size_t index, const void* address) {
  const auto pc = reinterpret_cast<uintptr_t>(address);
  std::string image = "???";
  std::string symbol;
  uintptr_t offset = 0;

  Dl_info info{};
  // A frame's address is where the call returns to, which for a call at the
  // very end of a function lies in the next one: look up the byte before.
  if (pc != 0 && ::dladdr(reinterpret_cast<const void*>(pc - 1), &info) != 0) {
    if (info.dli_fname && *info.dli_fname) {
      const char* slash = std::strrchr(info.dli_fname, '/');
      image = slash ? slash + 1 : info.dli_fname;
    }
    if (info.dli_sname && info.dli_saddr) {
      symbol = compactSymbol(demangledSymbol(info.dli_sname));
      offset = pc - reinterpret_cast<uintptr_t>(info.dli_saddr);
    } else if (info.dli_fbase) {
      // No exported symbol covers the address: name the image's load address,
      // so that the offset still locates the frame in the file.
      const auto base = reinterpret_cast<uintptr_t>(info.dli_fbase);
      char text[32];
      std::snprintf(text, sizeof text, "0x%" PRIxPTR, base);
      symbol = text;
      offset = pc - base;
    }
  }
  if (symbol.empty()) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%" PRIxPTR, pc);
    symbol = text;
  }
  for (char& c : image) {
    if (c == ' ' || c == '\t') c = '_';
  }

  char head[96];
  std::snprintf(head, sizeof head, "%-4zu%-35s 0x%016" PRIxPTR " ", index, image.c_str(), pc);
  std::string line = head;
  line += symbol;
  line += " + ";
  line += std::to_string(offset);
  return line;
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
  std::vector<std::string> lines;
  for (int i = first; i < count; ++i) {
    lines.push_back(callStackLine(static_cast<size_t>(i - first), frames[i]));
  }
  return lines;
}

}  // namespace platform

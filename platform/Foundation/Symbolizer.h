#pragma once

#include <cstdint>
#include <string>

struct Dwfl;

namespace platform {

// Names the code at the return addresses of a call stack from the full symbol
// table of each image (elfutils' libdw): static functions and the functions of
// an executable that exports none have names there, where the dynamic linker's
// dladdr sees only exported ones, and may even name the wrong, nearest
// exported function. Falls back to dladdr's answer when an image's tables
// cannot be read.
//
// Reads the process's list of images when made, so make one per stack taken:
// images loaded later are not known to it. Threads: one object per thread.
class Symbolizer {
 public:
  struct Frame {
    std::string image;     // file name of the image, "???" outside every image
    std::string symbol;    // mangled as in the image; empty when no symbol covers it
    uintptr_t offset = 0;  // from the symbol's start, or else from the image's start
  };

  Symbolizer();
  ~Symbolizer();
  Symbolizer(const Symbolizer&) = delete;
  Symbolizer& operator=(const Symbolizer&) = delete;

  // The frame whose call returns to `returnAddress`. A call at the very end
  // of a function returns into the next one, so the byte before is looked up.
  Frame frame(uintptr_t returnAddress);

 private:
  bool symbolFromSymbolTable(uintptr_t returnAddress, Frame& out);

  Dwfl* dwfl_ = nullptr;
};

}  // namespace platform

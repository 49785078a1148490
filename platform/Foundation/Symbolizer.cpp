#include "platform/Foundation/Symbolizer.h"

#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <unistd.h>

#include <cstring>

namespace platform {

namespace {

// Separate debug files are looked for only on this machine, by build id
// (/usr/lib/debug/.build-id): a dying process must not wait on a network.
const Dwfl_Callbacks kCallbacks = {
    .find_elf = dwfl_linux_proc_find_elf,
    .find_debuginfo = dwfl_build_id_find_debuginfo,
    .section_address = nullptr,
    .debuginfo_path = nullptr,
};

std::string baseName(const char* path) {
  if (!path || !*path) return "???";
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

}  // namespace

Symbolizer::Symbolizer() {
  dwfl_ = dwfl_begin(&kCallbacks);
  if (!dwfl_) return;
  if (dwfl_linux_proc_report(dwfl_, ::getpid()) != 0 ||
      dwfl_report_end(dwfl_, nullptr, nullptr) != 0) {
    dwfl_end(dwfl_);
    dwfl_ = nullptr;
  }
}

Symbolizer::~Symbolizer() {
  if (dwfl_) dwfl_end(dwfl_);
}

Symbolizer::Frame Symbolizer::frame(uintptr_t returnAddress) {
  Frame out;
  // The dynamic linker says whether the address lies in a loaded image at
  // all, and where that image starts; the symbol tables then name it.
  Dl_info info{};
  if (returnAddress == 0 ||
      ::dladdr(reinterpret_cast<const void*>(returnAddress - 1), &info) == 0) {
    out.image = "???";
    return out;
  }
  out.image = baseName(info.dli_fname);
  if (symbolFromSymbolTable(returnAddress, out)) return out;
  if (info.dli_sname && info.dli_saddr) {
    out.symbol = info.dli_sname;
    out.offset = returnAddress - reinterpret_cast<uintptr_t>(info.dli_saddr);
  } else {
    out.offset = returnAddress - reinterpret_cast<uintptr_t>(info.dli_fbase);
  }
  return out;
}

bool Symbolizer::symbolFromSymbolTable(uintptr_t returnAddress, Frame& out) {
  if (!dwfl_) return false;
  const Dwarf_Addr inside = returnAddress - 1;
  Dwfl_Module* module = dwfl_addrmodule(dwfl_, inside);
  if (!module) return false;
  GElf_Off offset = 0;
  GElf_Sym symbol{};
  const char* name =
      dwfl_module_addrinfo(module, inside, &offset, &symbol, nullptr, nullptr, nullptr);
  if (!name || !*name) return false;
  // A versioned name ("dladdr@@GLIBC_2.34") is the function's name.
  out.symbol.assign(name, std::strcspn(name, "@"));
  out.offset = offset + 1;
  return !out.symbol.empty();
}

}  // namespace platform

#include "support/FaultyDisk.h"

#include <sqlite3.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string_view>

namespace testing_support {

namespace {

struct File;

// SQLite calls the file system from any connection's thread.
struct State {
  std::mutex mutex;
  sqlite3_vfs* real = nullptr;
  sqlite3_vfs vfs{};
  bool armed = false;
  FaultyDisk::Fault fault = FaultyDisk::Fault::kDiskFull;
  int failAt = 0;
  std::string part;
  int operations = 0;
  int injected = 0;
  bool full = false;  // a full disk stays full until disarmed
  std::set<const File*> unsynced;
  std::map<std::string, int> syncs;  // successful syncs by file name
  std::string refusedPart;           // opens of matching files fail while refusing
  int refusedCode = 0;               // 0: no refusal
  int refusedOpens = 0;
};

State& state() {
  static State* s = new State;
  return *s;
}

// Our file: SQLite's handle, then the real file system's handle behind it.
struct File {
  sqlite3_file base;
  const char* name;  // valid until xClose, as SQLite promises
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

File* ours(sqlite3_file* file) {
  return reinterpret_cast<File*>(file);
}

bool matches(const File* file, const std::string& part) {
  return file->name && std::string_view(file->name).find(part) != std::string_view::npos;
}

enum class Operation { kWrite, kSync, kTruncate };

// The code the operation fails with, or SQLITE_OK to let it through.
int faultFor(File* file, Operation operation) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.armed || !matches(file, s.part)) return SQLITE_OK;
  ++s.operations;
  const bool due = s.full || (s.failAt > 0 && s.operations == s.failAt);
  if (!due) return SQLITE_OK;
  if (s.fault == FaultyDisk::Fault::kDiskFull) {
    // Only writes need room: syncs and truncations still work.
    if (operation != Operation::kWrite) return SQLITE_OK;
    s.full = true;
    ++s.injected;
    return SQLITE_FULL;
  }
  ++s.injected;
  switch (operation) {
    case Operation::kWrite:
      return SQLITE_IOERR_WRITE;
    case Operation::kSync:
      return SQLITE_IOERR_FSYNC;
    case Operation::kTruncate:
      return SQLITE_IOERR_TRUNCATE;
  }
  return SQLITE_IOERR;
}

void markUnsynced(File* file, bool unsynced) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (unsynced) {
    s.unsynced.insert(file);
  } else {
    s.unsynced.erase(file);
  }
}

int xClose(sqlite3_file* file) {
  markUnsynced(ours(file), false);
  sqlite3_file* real = ours(file)->real();
  const int rc = real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
  file->pMethods = nullptr;
  return rc;
}

int xRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  sqlite3_file* real = ours(file)->real();
  return real->pMethods->xRead(real, buffer, amount, offset);
}

// A call that changes the file: fails when a fault is due, else runs
// `change` on the real file, which is then unsynced.
template <class Change>
int changeFile(sqlite3_file* file, Operation operation, Change change) {
  if (const int rc = faultFor(ours(file), operation)) return rc;
  const int rc = change(ours(file)->real());
  markUnsynced(ours(file), true);
  return rc;
}

int xWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  return changeFile(file, Operation::kWrite, [&](sqlite3_file* real) {
    return real->pMethods->xWrite(real, buffer, amount, offset);
  });
}

int xTruncate(sqlite3_file* file, sqlite3_int64 size) {
  return changeFile(file, Operation::kTruncate,
                    [&](sqlite3_file* real) { return real->pMethods->xTruncate(real, size); });
}

int xSync(sqlite3_file* file, int flags) {
  if (const int rc = faultFor(ours(file), Operation::kSync)) return rc;
  sqlite3_file* real = ours(file)->real();
  const int rc = real->pMethods->xSync(real, flags);
  if (rc == SQLITE_OK) {
    markUnsynced(ours(file), false);
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (ours(file)->name) ++s.syncs[ours(file)->name];
  }
  return rc;
}

// The rest passes straight through.
int xFileSize(sqlite3_file* f, sqlite3_int64* size) {
  return ours(f)->real()->pMethods->xFileSize(ours(f)->real(), size);
}
int xLock(sqlite3_file* f, int lock) {
  return ours(f)->real()->pMethods->xLock(ours(f)->real(), lock);
}
int xUnlock(sqlite3_file* f, int lock) {
  return ours(f)->real()->pMethods->xUnlock(ours(f)->real(), lock);
}
int xCheckReservedLock(sqlite3_file* f, int* out) {
  return ours(f)->real()->pMethods->xCheckReservedLock(ours(f)->real(), out);
}
int xFileControl(sqlite3_file* f, int op, void* arg) {
  return ours(f)->real()->pMethods->xFileControl(ours(f)->real(), op, arg);
}
int xSectorSize(sqlite3_file* f) {
  return ours(f)->real()->pMethods->xSectorSize(ours(f)->real());
}
int xDeviceCharacteristics(sqlite3_file* f) {
  return ours(f)->real()->pMethods->xDeviceCharacteristics(ours(f)->real());
}
int xShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return ours(f)->real()->pMethods->xShmMap(ours(f)->real(), region, size, extend, out);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return ours(f)->real()->pMethods->xShmLock(ours(f)->real(), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) {
  ours(f)->real()->pMethods->xShmBarrier(ours(f)->real());
}
int xShmUnmap(sqlite3_file* f, int deleteFlag) {
  return ours(f)->real()->pMethods->xShmUnmap(ours(f)->real(), deleteFlag);
}
int xFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
  return ours(f)->real()->pMethods->xFetch(ours(f)->real(), offset, amount, out);
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
  return ours(f)->real()->pMethods->xUnfetch(ours(f)->real(), offset, page);
}

const sqlite3_io_methods kMethods = {
    3,
    xClose,
    xRead,
    xWrite,
    xTruncate,
    xSync,
    xFileSize,
    xLock,
    xUnlock,
    xCheckReservedLock,
    xFileControl,
    xSectorSize,
    xDeviceCharacteristics,
    xShmMap,
    xShmLock,
    xShmBarrier,
    xShmUnmap,
    xFetch,
    xUnfetch,
};

int xOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  File* wrapper = ours(file);
  wrapper->name = name;
  wrapper->base.pMethods = nullptr;
  {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.refusedCode != 0 && matches(wrapper, s.refusedPart)) {
      ++s.refusedOpens;
      return s.refusedCode;
    }
  }
  sqlite3_vfs* real = state().real;
  sqlite3_file* inner = wrapper->real();
  std::memset(inner, 0, static_cast<size_t>(real->szOsFile));
  const int rc = real->xOpen(real, name, inner, flags, outFlags);
  // A failed open leaves no methods, so SQLite does not close it.
  if (inner->pMethods) wrapper->base.pMethods = &kMethods;
  return rc;
}

}  // namespace

FaultyDisk::FaultyDisk() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.real = sqlite3_vfs_find("unix");
  if (!s.real || s.real->iVersion < 3 || s.real->pNext == &s.vfs) {
    throw std::runtime_error("no unix file system to wrap");
  }
  // The real one's functions (and their data) for everything but opening.
  s.vfs = *s.real;
  s.vfs.pNext = nullptr;
  s.vfs.zName = "faulty-disk";
  s.vfs.szOsFile = static_cast<int>(sizeof(File)) + s.real->szOsFile;
  s.vfs.xOpen = xOpen;
  s.armed = false;
  s.full = false;
  s.injected = 0;
  s.syncs.clear();
  s.refusedCode = 0;
  s.refusedOpens = 0;
  if (sqlite3_vfs_register(&s.vfs, 1) != SQLITE_OK) {
    throw std::runtime_error("cannot register the faulty disk");
  }
}

FaultyDisk::~FaultyDisk() {
  State& s = state();
  sqlite3_vfs_register(s.real, 1);
  sqlite3_vfs_unregister(&s.vfs);
}

void FaultyDisk::arm(Fault fault, int n, const std::string& part) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.armed = true;
  s.fault = fault;
  s.failAt = n;
  s.part = part;
  s.operations = 0;
  s.full = false;
}

void FaultyDisk::disarm() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.armed = false;
  s.full = false;
}

void FaultyDisk::refuseOpens(const std::string& part, int code) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.refusedPart = part;
  s.refusedCode = code;
}

void FaultyDisk::allowOpens() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.refusedCode = 0;
}

int FaultyDisk::refusedOpens() const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.refusedOpens;
}

int FaultyDisk::operations() const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.operations;
}

int FaultyDisk::injected() const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.injected;
}

int FaultyDisk::syncs(const std::string& part) const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  int total = 0;
  for (const auto& [name, count] : s.syncs) {
    if (name.find(part) != std::string::npos) total += count;
  }
  return total;
}

bool FaultyDisk::unsynced(const std::string& part) const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  for (const File* file : s.unsynced) {
    if (matches(file, part)) return true;
  }
  return false;
}

}  // namespace testing_support

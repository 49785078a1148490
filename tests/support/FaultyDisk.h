#pragma once

#include <string>

namespace testing_support {

// A SQLite file system over the real "unix" one, made the default for every
// connection this process opens while the object lives. Armed, it fails the
// n-th write operation (a write, a sync or a truncation) on a file whose path
// contains a given part (a store's name also picks its log and index), as a
// full disk or a failing device would; a full
// disk keeps failing until disarmed ("room again"), an I/O error fails that
// one operation only. It can also refuse to open files. It also keeps, per open file, whether
// something was written since the last sync that succeeded.
//
// One at a time per process; all members may be called from any thread.
class FaultyDisk {
 public:
  enum class Fault { kDiskFull, kIoError };

  FaultyDisk();
  ~FaultyDisk();
  FaultyDisk(const FaultyDisk&) = delete;
  FaultyDisk& operator=(const FaultyDisk&) = delete;

  // Counts write operations on files whose path contains `part` from now on
  // (the empty part matches every file) and fails the n-th of them
  // (1-based); n = 0 only counts.
  void arm(Fault fault, int n, const std::string& part = "");
  void disarm();

  // Fails every open of a file whose path contains `part` with SQLite's
  // result code `code` (SQLITE_CANTOPEN, SQLITE_IOERR, SQLITE_BUSY, ...), as
  // a file that cannot be opened for now would, until allowOpens(). The file
  // itself is not touched.
  void refuseOpens(const std::string& part, int code);
  void allowOpens();
  // Opens refused since the object was made.
  int refusedOpens() const;

  // Write operations on matching files since the last arm().
  int operations() const;
  // Faults injected since the object was made.
  int injected() const;
  // Successful syncs of files whose path contains `part`, since the object
  // was made.
  int syncs(const std::string& part) const;
  // Whether an open file whose path contains `part` holds writes no
  // successful sync has followed.
  bool unsynced(const std::string& part) const;
};

}  // namespace testing_support

#pragma once

#include <string>

struct sqlite3;

namespace platform {

// What the two SQLite stores (the hit store and the properties store) do
// alike when they open their file: make it private before SQLite makes it,
// open it read-write without following a symbolic link, and check all of it
// once.
class StoreFile {
 public:
  // The outcome of the whole-file check.
  struct Check {
    enum class Verdict { Passed, Damaged, Failed };
    Verdict verdict = Verdict::Failed;
    bool prepared = false;  // false: the statement itself could not be made
    int code = 0;           // SQLite's result code when the check did not pass
    std::string message;    // the check's own report, or SQLite's message
  };

  // Creates the file, empty and readable by its owner only (SQLite would use
  // 0644 less the umask; its log and index take the file's mode), unless it
  // exists. A symbolic link at the path is left alone, and so is its target.
  static void createPrivate(const std::string& path);
  // Opens `path` read-write, creating it when missing, into `db`; answers
  // SQLite's result code. As with SQLite, `db` may be set even when opening
  // failed, for its message: the caller closes it either way. A symbolic
  // link at the path, or at the log or index SQLite keeps beside it, is
  // refused with SQLITE_CANTOPEN_SYMLINK; links among the directories above
  // the file are followed.
  static int open(const std::string& path, sqlite3** db);
  // "PRAGMA quick_check": a file SQLite cannot read as a database, or one
  // whose check finds faults, is damaged; a check that could not run for
  // another reason (no memory, a busy or unreadable file) failed.
  static Check check(sqlite3* db);
  // Whether a result code says the file itself is damaged or no database.
  static bool isDamage(int code);
};

}  // namespace platform

#include "platform/CoreData/StoreFile.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace platform {

void StoreFile::createPrivate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
}

int StoreFile::open(const std::string& path, sqlite3** db) {
  return sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
}

StoreFile::Check StoreFile::check(sqlite3* db) {
  Check result;
  sqlite3_stmt* statement = nullptr;
  // Preparing reads the file's header: a file that is no database fails here.
  result.code = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &statement, nullptr);
  result.prepared = result.code == SQLITE_OK;
  if (result.prepared) {
    result.code = sqlite3_step(statement);
    if (result.code == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      result.message = text ? text : "";
      result.verdict = result.message == "ok" ? Check::Verdict::Passed : Check::Verdict::Damaged;
      if (result.verdict == Check::Verdict::Damaged) result.code = SQLITE_CORRUPT;
      sqlite3_finalize(statement);
      return result;
    }
  }
  result.message = sqlite3_errmsg(db);
  result.verdict = isDamage(result.code) ? Check::Verdict::Damaged : Check::Verdict::Failed;
  sqlite3_finalize(statement);
  return result;
}

bool StoreFile::isDamage(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace platform

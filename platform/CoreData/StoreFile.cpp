#include "platform/CoreData/StoreFile.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace platform {

namespace {

// The path with its directory resolved to one without symbolic links, so
// that SQLite's refusal to follow a link applies to the file alone: a home
// directory reached through a link is common, a link planted in place of a
// store file is not ours to write through. The path as given when the
// directory cannot be resolved (SQLite then says why it cannot open it).
std::string withResolvedDirectory(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(directory.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return path;
  std::string result = resolved.get();
  if (result.back() != '/') result += '/';
  return result + path.substr(slash + 1);
}

bool isSymbolicLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

void StoreFile::createPrivate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
}

int StoreFile::open(const std::string& path, sqlite3** db) {
  // SQLite opens its log and index with O_NOFOLLOW itself and fails the
  // first write when either is a link; refusing here says so before the
  // store is used, and with the same code as for the file.
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    if (isSymbolicLink(path + suffix)) {
      *db = nullptr;
      return SQLITE_CANTOPEN_SYMLINK;
    }
  }
  return sqlite3_open_v2(withResolvedDirectory(path).c_str(), db,
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                         nullptr);
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

#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace halden::bench {

// A fresh directory under $HALDEN_BENCH_DIR (default /tmp) for one run,
// which should sit on the file system being measured. It becomes the
// Library directory ($HALDEN_LIBRARY_DIR), so call path() before anything of
// the library reads that; the directory is removed at exit.
class BenchDirectory {
 public:
  static const std::string& path() {
    static BenchDirectory directory;
    return directory.path_;
  }

  BenchDirectory(const BenchDirectory&) = delete;
  BenchDirectory& operator=(const BenchDirectory&) = delete;

 private:
  BenchDirectory() {
    const char* base = std::getenv("HALDEN_BENCH_DIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/halden-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    setenv("HALDEN_LIBRARY_DIR", pattern.c_str(), 1);
    path_ = pattern;
  }
  ~BenchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::string path_;
};

}  // namespace halden::bench

#pragma once

#include <curl/curl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace halden::bench {

// The reference collector as a program of its own, so that its work is not
// counted in the measured process (its memory, its threads): started quiet
// on a free loopback port, stopped with SIGTERM when this object goes.
// The program is $HALDEN_COLLECTOR_PROGRAM, or tools/collector/halden-collector
// of the build tree this benchmark was built in (build it first: ninja
// halden-collector).
//
// Threads: one controlling thread; stats() may run on any thread.
class CollectorProcess {
 public:
  // The counters of GET /stats that the benchmarks read.
  struct Stats {
    uint64_t requests = 0;
    uint64_t hits = 0;
    uint64_t acceptedHits = 0;
    uint64_t bytes = 0;         // payload as received: query, or body before decoding
    uint64_t decodedBytes = 0;  // payload after decoding
  };

  CollectorProcess() {
    namespace fs = std::filesystem;
    const char* given = getenv("HALDEN_COLLECTOR_PROGRAM");
    const fs::path program = given && *given ? fs::path(given)
                                             : fs::read_symlink("/proc/self/exe").parent_path() /
                                                   "../tools/collector/halden-collector";
    std::string pattern = (fs::temp_directory_path() / "halden-bench-collector-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    dir_ = pattern;
    const std::string portFile = dir_ + "/port";
    std::vector<std::string> args = {program.string(), "--port",  "0",      "--port-file",
                                     portFile,         "--quiet", "--keep", "1000"};
    std::vector<char*> argv;
    for (auto& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
      std::fprintf(stderr, "cannot start %s\n", argv[0]);
      pid_ = -1;
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream in(portFile);
      int port = 0;
      if (in >> port && port > 0) {
        origin_ = "http://127.0.0.1:" + std::to_string(port);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "the collector did not start\n");
  }

  ~CollectorProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  CollectorProcess(const CollectorProcess&) = delete;
  CollectorProcess& operator=(const CollectorProcess&) = delete;

  // "http://127.0.0.1:PORT", or "" when the collector did not start.
  const std::string& origin() const { return origin_; }

  // GET /stats, or nothing when it cannot be read.
  std::optional<Stats> stats() const {
    CURL* curl = curl_easy_init();
    if (!curl) return std::nullopt;
    std::string body;
    const std::string url = origin_ + "/stats";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    long status = 0;
    const bool ok = curl_easy_perform(curl) == CURLE_OK &&
                    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                    status == 200;
    curl_easy_cleanup(curl);
    if (!ok) return std::nullopt;
    const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    Stats stats;
    stats.requests = json.value("requests", uint64_t{0});
    stats.hits = json.value("hits", uint64_t{0});
    stats.acceptedHits = json.value("accepted_hits", uint64_t{0});
    stats.bytes = json.value("bytes", uint64_t{0});
    stats.decodedBytes = json.value("decoded_bytes", uint64_t{0});
    return stats;
  }

 private:
  static size_t append(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
  }

  pid_t pid_ = -1;
  std::string dir_;
  std::string origin_;
};

}  // namespace halden::bench

#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tools/collector/HitLineParser.h"

namespace halden::collector {

// What the collector knew about one hit request when it answered.
struct RequestInfo {
  std::string scheme;    // "http" or "https"
  std::string method;    // "GET" or "POST"
  std::string path;      // "/collect", "/batch", or a redirect target
  std::string encoding;  // the Content-Encoding as sent, "" for none
  std::string userAgent;
  std::string contentType;
  std::string remote;  // "address:port" of the client
  std::chrono::system_clock::time_point received;
  std::uint64_t rawBytes = 0;      // payload as it came: query, or body before decoding
  std::uint64_t decodedBytes = 0;  // payload after decoding
  int status = 0;                  // the status answered; 0 when the connection was dropped
  std::string error;  // why no hits could be taken from the request, "" when they could
  // Hit lines the request held that are not recorded as received (it was
  // redirected, or refused for a poisoned line), and why.
  std::uint64_t unrecordedHits = 0;
  std::string unrecordedReason;
};

struct CollectorStats {
  std::uint64_t requests = 0;  // hit requests, whatever their answer
  std::uint64_t hits = 0;      // hit lines received
  std::uint64_t validHits = 0;
  std::uint64_t invalidHits = 0;               // lines lacking a required field or badly encoded
  std::uint64_t acceptedHits = 0;              // hits of requests answered with a 2xx status
  std::uint64_t bytes = 0;                     // payload bytes as received
  std::uint64_t decodedBytes = 0;              // payload bytes after decoding
  std::uint64_t badRequests = 0;               // undecodable bodies, unknown codings, wrong methods
  std::uint64_t dropped = 0;                   // requests whose connection was dropped unanswered
  std::uint64_t emptyRequests = 0;             // decodable requests without a single hit
  std::uint64_t unrecordedHits = 0;            // lines of redirected or poison-refused requests
  std::map<int, std::uint64_t> statuses;       // answers by status (0: dropped)
  std::map<std::string, std::uint64_t> paths;  // requests by path
};

// Keeps the record of everything the collector received: counters, the most
// recent hits in memory for "/hits", one JSON object per hit appended to the
// output file, and one short line per hit on the console. The output file is
// created readable by its owner only (hits carry client and user ids); a file
// that already exists keeps its mode. Client text on the console goes
// through ConsoleText.
//
// Threads: record() runs on the HTTP worker threads; stats(), statsJson(),
// hitsJson() and flush() on any thread; open() before serving starts.
// mutex_ guards every member below it, so a hit's sequence number, its file
// line and its console line come out in the same order.
class HitRecorder {
 public:
  struct Options {
    std::string outPath;        // "" records to memory only
    bool append = false;        // keep what the file held
    bool quiet = false;         // no console lines
    std::size_t keep = 100000;  // hits kept in memory for hitsJson()
    std::FILE* console = stdout;
  };

  explicit HitRecorder(Options options);
  ~HitRecorder();
  HitRecorder(const HitRecorder&) = delete;
  HitRecorder& operator=(const HitRecorder&) = delete;

  // Opens the output file; answers false with a reason when it cannot.
  bool open(std::string& error);

  // Records one hit request and its hits.
  void record(const RequestInfo& request, const std::vector<ParsedHit>& hits);

  CollectorStats stats() const;
  std::string statsJson() const;
  // The kept hits with a sequence number of at least `since`, as a JSON array.
  std::string hitsJson(std::uint64_t since = 0) const;
  void flush();

 private:
  struct Kept {
    std::uint64_t seq;
    std::string json;
  };

  const Options options_;
  mutable std::mutex mutex_;
  std::FILE* out_ = nullptr;
  bool outFailed_ = false;
  std::uint64_t nextSeq_ = 1;
  std::uint64_t nextRequest_ = 1;
  CollectorStats stats_;
  std::deque<Kept> kept_;
};

}  // namespace halden::collector

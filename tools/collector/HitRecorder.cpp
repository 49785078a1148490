#include "tools/collector/HitRecorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <nlohmann/json.hpp>

#include "tools/collector/ConsoleText.h"

namespace halden::collector {

namespace {

using Json = nlohmann::ordered_json;

// Hit values are whatever the client sent; text that is not UTF-8 must not
// stop the record, so it is written with replacement characters.
std::string dumpJson(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::int64_t epochMilliseconds(std::chrono::system_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
}

std::string isoTime(std::chrono::system_clock::time_point when) {
  const std::int64_t ms = epochMilliseconds(when);
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

std::string fieldOrDash(const ParsedHit& hit, std::string_view key) {
  const std::string* value = hit.find(key);
  return value && !value->empty() ? ConsoleText::escape(*value) : "-";
}

}  // namespace

HitRecorder::HitRecorder(Options options) : options_(std::move(options)) {}

HitRecorder::~HitRecorder() {
  if (out_) std::fclose(out_);
}

bool HitRecorder::open(std::string& error) {
  std::lock_guard lock(mutex_);
  if (options_.outPath.empty() || out_) return true;
  // The mode given here applies only when the file is created; an existing
  // file keeps the mode it has.
  const int fd =
      ::open(options_.outPath.c_str(),
             O_WRONLY | O_CREAT | O_CLOEXEC | (options_.append ? O_APPEND : O_TRUNC), 0600);
  if (fd >= 0) out_ = fdopen(fd, options_.append ? "a" : "w");
  if (!out_) {
    if (fd >= 0) ::close(fd);
    error = "cannot open \"" + options_.outPath + "\" for writing";
    return false;
  }
  return true;
}

void HitRecorder::record(const RequestInfo& request, const std::vector<ParsedHit>& hits) {
  std::lock_guard lock(mutex_);
  const std::uint64_t requestNumber = nextRequest_++;
  const bool accepted = request.status >= 200 && request.status < 300;

  ++stats_.requests;
  ++stats_.statuses[request.status];
  ++stats_.paths[request.path];
  stats_.bytes += request.rawBytes;
  stats_.decodedBytes += request.decodedBytes;
  if (request.status == 0) ++stats_.dropped;
  stats_.unrecordedHits += request.unrecordedHits;
  if (!request.error.empty()) {
    ++stats_.badRequests;
  } else if (hits.empty() && request.unrecordedHits == 0) {
    ++stats_.emptyRequests;
  }

  const std::string answer = request.status == 0 ? "dropped" : std::to_string(request.status);
  const std::string method = ConsoleText::escape(request.method);
  const std::string path = ConsoleText::escape(request.path);
  const std::string encoding =
      request.encoding.empty() ? "plain" : ConsoleText::escape(request.encoding);
  if (!options_.quiet && !request.error.empty()) {
    std::fprintf(options_.console, "%s %s %s -> %s: %s\n", method.c_str(), path.c_str(),
                 encoding.c_str(), answer.c_str(), ConsoleText::escape(request.error).c_str());
  }
  if (!options_.quiet && request.unrecordedHits > 0) {
    std::fprintf(options_.console, "%s %s %s -> %s: %llu hit(s) not recorded, %s\n", method.c_str(),
                 path.c_str(), encoding.c_str(), answer.c_str(),
                 static_cast<unsigned long long>(request.unrecordedHits),
                 ConsoleText::escape(request.unrecordedReason).c_str());
  }

  for (std::size_t index = 0; index < hits.size(); ++index) {
    const ParsedHit& hit = hits[index];
    const std::uint64_t seq = nextSeq_++;
    ++stats_.hits;
    ++(hit.valid() ? stats_.validHits : stats_.invalidHits);
    if (accepted) ++stats_.acceptedHits;

    Json params = Json::object();
    Json pairs = Json::array();
    for (const HitParameter& parameter : hit.parameters) {
      params[parameter.key] = parameter.value;  // the last of repeated keys wins
      pairs.push_back(Json::array({parameter.key, parameter.value}));
    }
    const Json entry = {
        {"seq", seq},
        {"received", isoTime(request.received)},
        {"received_ms", epochMilliseconds(request.received)},
        {"request", requestNumber},
        {"index", index},
        {"scheme", request.scheme},
        {"method", request.method},
        {"path", request.path},
        {"encoding", request.encoding},
        {"status", request.status},
        {"dropped", request.status == 0},
        {"valid", hit.valid()},
        {"problems", hit.problems},
        {"params", std::move(params)},
        {"pairs", std::move(pairs)},
        {"line", hit.line},
        {"user_agent", request.userAgent},
        {"content_type", request.contentType},
        {"remote", request.remote},
    };
    std::string json = dumpJson(entry);

    if (out_ && !outFailed_) {
      if (std::fputs(json.c_str(), out_) == EOF || std::fputc('\n', out_) == EOF) {
        outFailed_ = true;
        std::fprintf(stderr, "halden-collector: writing \"%s\" failed; hits stay in memory only\n",
                     options_.outPath.c_str());
      }
    }
    if (!options_.quiet) {
      std::string problems;
      for (const std::string& problem : hit.problems)
        problems += (problems.empty() ? "" : ", ") + ConsoleText::escape(problem);
      std::fprintf(options_.console, "#%llu %s %s %s -> %s t=%s tid=%s cid=%s%s%s\n",
                   static_cast<unsigned long long>(seq), method.c_str(), path.c_str(),
                   encoding.c_str(), answer.c_str(), fieldOrDash(hit, "t").c_str(),
                   fieldOrDash(hit, "tid").c_str(), fieldOrDash(hit, "cid").c_str(),
                   problems.empty() ? "" : " INVALID: ", problems.c_str());
    }
    kept_.push_back({seq, std::move(json)});
    while (kept_.size() > options_.keep)
      kept_.pop_front();
  }
  // Flushed per request so that a script tailing the file sees each hit as
  // soon as it was answered.
  if (out_ && !outFailed_ && std::fflush(out_) != 0) {
    outFailed_ = true;
    std::fprintf(stderr, "halden-collector: writing \"%s\" failed; hits stay in memory only\n",
                 options_.outPath.c_str());
  }
  if (!options_.quiet) std::fflush(options_.console);
}

CollectorStats HitRecorder::stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

std::string HitRecorder::statsJson() const {
  const CollectorStats s = stats();
  Json statuses = Json::object();
  for (const auto& [status, count] : s.statuses)
    statuses[std::to_string(status)] = count;
  Json paths = Json::object();
  for (const auto& [path, count] : s.paths)
    paths[path] = count;
  const Json json = {
      {"requests", s.requests},
      {"hits", s.hits},
      {"valid_hits", s.validHits},
      {"invalid_hits", s.invalidHits},
      {"accepted_hits", s.acceptedHits},
      {"bytes", s.bytes},
      {"decoded_bytes", s.decodedBytes},
      {"bad_requests", s.badRequests},
      {"dropped", s.dropped},
      {"empty_requests", s.emptyRequests},
      {"unrecorded_hits", s.unrecordedHits},
      {"statuses", std::move(statuses)},
      {"paths", std::move(paths)},
  };
  return dumpJson(json);
}

std::string HitRecorder::hitsJson(std::uint64_t since) const {
  std::lock_guard lock(mutex_);
  std::string out = "[";
  bool first = true;
  for (const Kept& kept : kept_) {
    if (kept.seq < since) continue;
    if (!first) out += ',';
    out += kept.json;
    first = false;
  }
  out += ']';
  return out;
}

void HitRecorder::flush() {
  std::lock_guard lock(mutex_);
  if (out_) std::fflush(out_);
  std::fflush(options_.console);
}

}  // namespace halden::collector

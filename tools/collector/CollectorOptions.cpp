#include "tools/collector/CollectorOptions.h"

#include <charconv>
#include <functional>
#include <limits>
#include <map>

namespace halden::collector {

namespace {

template <class Number>
bool readNumber(std::string_view text, Number& out, Number low, Number high) {
  Number value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return false;
  }
  out = value;
  return true;
}

bool isReservedPath(std::string_view path) {
  return path == "/collect" || path == "/batch" || path == "/stats" || path == "/hits";
}

// Text that goes into an answer's head: no line breaks or other controls.
bool isHeaderText(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return false;
  }
  return true;
}

// "/path" (not one of the collector's own) or "http[s]://host..." with a
// host, and nothing that could not go into a Location header.
bool isRedirectTarget(std::string_view target) {
  if (!isHeaderText(target) || target.find(' ') != std::string_view::npos) return false;
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (target.starts_with(scheme)) {
      const std::string_view rest = target.substr(scheme.size());
      return !rest.empty() && rest.front() != '/';
    }
  }
  return target.starts_with("/") && !isReservedPath(target);
}

}  // namespace

std::string CollectorOptions::usage() {
  return R"(Usage: halden-collector [OPTIONS]

Receives analytics hits over HTTP, records each one and answers 200.
Hit endpoints: GET and POST /collect (one hit), POST /batch (hits one per
line). Bodies may be plain or sent with Content-Encoding gzip or deflate.
Read-only endpoints: GET /stats (counters as JSON), GET /hits[?since=SEQ]
(the recorded hits as a JSON array). Stops cleanly on SIGINT and SIGTERM.

Listening:
  --host ADDR            address to bind (default 127.0.0.1)
  --port PORT            plain HTTP port; 0 picks a free port (default 0)
  --port-file FILE       write the HTTP port to FILE once bound
  --cert FILE            PEM certificate for HTTPS (needs --key)
  --key FILE             PEM private key for HTTPS (needs --cert)
  --https-port PORT      HTTPS port; 0 picks a free port (default 0 when
                         --cert and --key are given)
  --https-port-file FILE write the HTTPS port to FILE once bound
  --threads N            request worker threads (default 16)
  --backlog N            listen backlog (default 1024)
  --keep-alive SECONDS   idle time before a kept-alive connection is closed
                         (default 2)
  --max-body BYTES       largest body accepted, before and after decoding
                         (default 16777216)
  --request-timeout-ms MS
                         longest a request body may take to arrive once its
                         head is in; a later one is answered 408 and its
                         connection closed (default 10000)

Recording:
  --out FILE             write one JSON object per hit to FILE (JSON Lines),
                         emptied first; without it hits stay in memory only
  --append               keep FILE's contents instead of truncating it
  --keep N               hits kept in memory for /hits (default 100000)
  --quiet                print no line per hit on standard output

Faults, for tests (they apply to hit endpoints only, never /stats or /hits):
  --status CODE          answer CODE to every hit request
  --batch-status CODE    answer CODE to POST /batch (wins over --status)
  --fail-first N         answer --fail-status to the first N hit requests
  --fail-status CODE     status for --fail-first (default 500)
  --drop                 close every hit request's connection unanswered
  --drop-first N         close the first N unanswered; --fail-first counts
                         the requests after these
  --delay-ms MS          wait MS milliseconds before answering or dropping
  --redirect-to TARGET   answer hit requests with a redirect, not recording
                         their hits. TARGET is a PATH on this collector (query
                         kept; PATH itself is served as a hit endpoint) or an
                         absolute URL such as http://HOST:PORT, to which the
                         request's path and query are appended (a redirect of
                         /batch points at URL/batch)
  --redirect-status CODE redirect status, 300 to 399: 301, 302, 303, 307, 308
                         (default 307)
  --retry-after VALUE    send "Retry-After: VALUE" (seconds such as 120, or an
                         HTTP date, as given) with every answer whose status a
                         fault chose (--status, --batch-status, --fail-first,
                         --poison); not with redirects
  --poison TEXT          answer --poison-status to every hit request any of
                         whose hit lines (body after decoding, or query)
                         holds TEXT, as sent or with its %XY escapes decoded;
                         the whole request is refused and none of its hits is
                         recorded. Other requests are answered as usual
  --poison-status CODE   status for --poison (default 500)
  --body-bytes N         every hit answer carries a body of N bytes

  -h, --help             print this help and exit
)";
}

CollectorOptions::Parsed CollectorOptions::parse(const std::vector<std::string_view>& arguments) {
  Parsed parsed;
  CollectorOptions& o = parsed.options;
  bool httpsPortGiven = false;
  const auto fail = [&parsed](std::string message) {
    parsed.action = Parsed::Action::kError;
    parsed.error = std::move(message);
    return parsed;
  };

  using Setter = std::function<bool(std::string_view)>;
  const auto port = [](int& target) {
    return Setter([&target](std::string_view v) { return readNumber(v, target, 0, 65535); });
  };
  const auto status = [](int& target, int low, int high) {
    return Setter(
        [&target, low, high](std::string_view v) { return readNumber(v, target, low, high); });
  };
  const auto count = [](auto& target) {
    using T = std::remove_reference_t<decltype(target)>;
    return Setter([&target](std::string_view v) {
      return readNumber<T>(v, target, 0, std::numeric_limits<T>::max());
    });
  };
  const auto text = [](std::string& target) {
    return Setter([&target](std::string_view v) {
      target.assign(v);
      return !target.empty();
    });
  };
  std::uint64_t delayMs = 0;
  std::uint64_t requestTimeoutMs = static_cast<std::uint64_t>(o.requestTimeout.count());

  const std::map<std::string_view, Setter> withValue = {
      {"--host", text(o.host)},
      {"--port", port(o.port)},
      {"--port-file", text(o.portFile)},
      {"--cert", text(o.certFile)},
      {"--key", text(o.keyFile)},
      {"--https-port", Setter([&](std::string_view v) {
         httpsPortGiven = true;
         return readNumber(v, o.httpsPort, 0, 65535);
       })},
      {"--https-port-file", text(o.httpsPortFile)},
      {"--threads",
       Setter([&](std::string_view v) { return readNumber<std::size_t>(v, o.threads, 1, 1024); })},
      {"--backlog", Setter([&](std::string_view v) { return readNumber(v, o.backlog, 1, 65535); })},
      {"--keep-alive",
       Setter([&](std::string_view v) { return readNumber(v, o.keepAliveSeconds, 0, 3600); })},
      {"--max-body", Setter([&](std::string_view v) {
         return readNumber<std::size_t>(v, o.maxBodyBytes, 1,
                                        std::numeric_limits<std::size_t>::max());
       })},
      {"--request-timeout-ms", Setter([&](std::string_view v) {
         return readNumber<std::uint64_t>(v, requestTimeoutMs, 1, 3600 * 1000);
       })},
      {"--out", text(o.outPath)},
      {"--keep", count(o.keep)},
      {"--status", status(o.faults.status, 100, 599)},
      {"--batch-status", status(o.faults.batchStatus, 100, 599)},
      {"--fail-first", count(o.faults.failFirst)},
      {"--fail-status", status(o.faults.failStatus, 100, 599)},
      {"--drop-first", count(o.faults.dropFirst)},
      {"--delay-ms", Setter([&](std::string_view v) {
         return readNumber<std::uint64_t>(v, delayMs, 0, 3600 * 1000);
       })},
      {"--redirect-to", text(o.faults.redirectTo)},
      {"--redirect-status", status(o.faults.redirectStatus, 300, 399)},
      {"--retry-after", Setter([&](std::string_view v) {
         o.faults.retryAfter.assign(v);
         return !v.empty() && isHeaderText(v);
       })},
      {"--poison", text(o.faults.poison)},
      {"--poison-status", status(o.faults.poisonStatus, 100, 599)},
      {"--body-bytes", count(o.faults.bodyBytes)},
  };
  const std::map<std::string_view, std::function<void()>> flags = {
      {"--append", [&] { o.append = true; }},
      {"--quiet", [&] { o.quiet = true; }},
      {"--drop", [&] { o.faults.dropAll = true; }},
  };

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (argument == "-h" || argument == "--help") {
      parsed.action = Parsed::Action::kHelp;
      return parsed;
    }
    std::string_view name = argument;
    std::string_view value;
    bool inlineValue = false;
    if (const auto equals = argument.find('=');
        argument.starts_with("--") && equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      inlineValue = true;
    }
    if (const auto flag = flags.find(name); flag != flags.end()) {
      if (inlineValue) return fail("option " + std::string(name) + " takes no value");
      flag->second();
      continue;
    }
    const auto setter = withValue.find(name);
    if (setter == withValue.end()) return fail("unknown option \"" + std::string(argument) + "\"");
    if (!inlineValue) {
      if (i + 1 >= arguments.size()) return fail("option " + std::string(name) + " needs a value");
      value = arguments[++i];
    }
    if (!setter->second(value)) {
      return fail("bad value \"" + std::string(value) + "\" for " + std::string(name));
    }
  }

  o.faults.delay = std::chrono::milliseconds(delayMs);
  o.requestTimeout = std::chrono::milliseconds(requestTimeoutMs);
  if (o.certFile.empty() != o.keyFile.empty()) return fail("--cert and --key go together");
  if (!o.certFile.empty() && !httpsPortGiven) o.httpsPort = 0;
  if (httpsPortGiven && o.certFile.empty()) return fail("--https-port needs --cert and --key");
  if (!o.httpsPortFile.empty() && o.certFile.empty()) {
    return fail("--https-port-file needs --cert and --key");
  }
  if (!o.faults.redirectTo.empty() && !isRedirectTarget(o.faults.redirectTo)) {
    return fail(
        "--redirect-to needs a path starting with \"/\" other than /collect, /batch, "
        "/stats and /hits, or an http:// or https:// URL");
  }
  if (o.httpsPort > 0 && o.httpsPort == o.port) return fail("--port and --https-port are the same");
  return parsed;
}

}  // namespace halden::collector

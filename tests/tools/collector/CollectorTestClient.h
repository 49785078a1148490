#pragma once

// A plain libcurl client for the collector's tests. The tests compress with
// zlib directly and send with libcurl, so that nothing on the sending side
// shares code with the collector.

#include <curl/curl.h>
#include <strings.h>

#include <gtest/gtest.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/CollectorHits.h"
#include "support/Deflate.h"

namespace collector_test {

struct Reply {
  CURLcode code = CURLE_OK;  // anything but CURLE_OK: no answer came
  long status = 0;
  std::string body;
  std::string location;  // the Location header of a redirect not followed
  std::string finalUrl;  // where a followed redirect ended
  std::string error;
  std::vector<std::string> headers;  // the last answer's header lines, "Name: value"

  // The value of the last answer's header `name` (any case), "" when absent.
  std::string header(const std::string& name) const {
    for (const std::string& line : headers) {
      if (line.size() > name.size() && line[name.size()] == ':' &&
          strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
        return line.substr(line.find_first_not_of(' ', name.size() + 1));
      }
    }
    return "";
  }
};

struct Request {
  std::string method = "GET";
  std::string url;
  std::string body;
  std::vector<std::string> headers;
  bool followRedirects = false;
  std::string caFile;  // for HTTPS: trust this CA (and verify the host)
  long timeoutSeconds = 30;
};

inline void initCurlOnce() {
  static const bool initialised = [] { return curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK; }();
  (void)initialised;
}

inline size_t appendTo(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

inline size_t keepHeader(char* data, size_t size, size_t count, void* target) {
  auto& reply = *static_cast<Reply*>(target);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.pop_back();
  // A status line starts the head of each answer, redirects included.
  if (line.starts_with("HTTP/")) reply.headers.clear();
  if (line.find(':') != std::string::npos) reply.headers.push_back(line);
  const std::string name = "location:";
  if (line.size() > name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
    std::string value = line.substr(name.size());
    while (!value.empty() && (value.front() == ' '))
      value.erase(0, 1);
    reply.location = value;
  }
  return size * count;
}

inline Reply perform(const Request& request) {
  initCurlOnce();
  Reply reply;
  CURL* curl = curl_easy_init();
  char errorText[CURL_ERROR_SIZE] = {};
  curl_slist* headers = nullptr;
  for (const std::string& header : request.headers)
    headers = curl_slist_append(headers, header.c_str());

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, request.timeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendTo);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, keepHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (request.followRedirects) {
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
  }
  if (!request.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, request.caFile.c_str());
  if (request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  reply.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  char* effective = nullptr;
  curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
  if (effective) reply.finalUrl = effective;
  reply.error = errorText[0] ? errorText : curl_easy_strerror(reply.code);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return reply;
}

inline Reply get(const std::string& url) {
  Request request;
  request.url = url;
  return perform(request);
}

inline Reply post(const std::string& url, const std::string& body,
                  const std::string& contentEncoding = "") {
  Request request;
  request.method = "POST";
  request.url = url;
  request.body = body;
  request.headers.push_back("Content-Type: application/x-www-form-urlencoded; charset=UTF-8");
  if (!contentEncoding.empty()) request.headers.push_back("Content-Encoding: " + contentEncoding);
  return perform(request);
}

using testing_support::gzip;
using testing_support::rawDeflate;
using testing_support::zlibDeflate;

inline nlohmann::json getJson(const std::string& url) {
  const Reply reply = get(url);
  if (reply.code != CURLE_OK || reply.status != 200) return nullptr;
  return nlohmann::json::parse(reply.body, nullptr, false);
}

}  // namespace collector_test

// ---------------------------------------------------------------------------
// Building hit lines and running a collector in-process.

#include <memory>
#include <utility>

#include "tools/collector/Collector.h"

namespace collector_test {

using Params = std::vector<std::pair<std::string, std::string>>;

// Form encoding as a client does it: letters, digits and -_.~' as they are, a
// blank as "+", every other byte as "%XY".
inline std::string formEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '\'') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// An empty value is written as the bare key, as clients do.
inline std::string hitLine(const Params& params) {
  std::string line;
  for (const auto& [key, value] : params) {
    if (!line.empty()) line += '&';
    line += formEncode(key);
    if (!value.empty()) line += "=" + formEncode(value);
  }
  return line;
}

inline Params requiredFields(const std::string& type,
                             const std::string& cid = "35009a79-1a05-49d7-b876-2b884d0f825b") {
  return {{"v", "1"}, {"tid", "UA-12345-1"}, {"cid", cid}, {"t", type}};
}

inline Params withExtra(Params params, const Params& extra) {
  params.insert(params.end(), extra.begin(), extra.end());
  return params;
}

using testing_support::receivedHits;
using testing_support::startCollector;

}  // namespace collector_test

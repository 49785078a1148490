// Fuzzes the reference collector's reading of what a client sends: the
// request body's content coding and the hit lines inside it. The first byte
// of an input picks the Content-Encoding header; the rest is the body.
//
// Checks, beyond "no crash, no leak, no undefined behaviour": a decoded body
// never exceeds the limit it was given, and a hit line parsed as valid has
// every required field.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/collector/BodyDecoder.h"
#include "tools/collector/HitLineParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace halden::collector;
  if (size == 0) return 0;
  static constexpr std::string_view kCodings[] = {"", "gzip", "deflate", "identity",
                                                  "gzip, deflate", "br", "GZIP"};
  const std::string_view coding = kCodings[data[0] % std::size(kCodings)];
  const std::string_view raw(reinterpret_cast<const char*>(data) + 1, size - 1);
  constexpr std::size_t kLimit = 64 * 1024;

  const BodyDecoder::Result result = BodyDecoder::decode(coding, raw, kLimit);
  const std::string_view body = result.status == BodyDecoder::Status::kOk ? result.body : raw;
  if (body.size() > kLimit && result.status == BodyDecoder::Status::kOk) std::abort();

  for (std::string_view line : HitLineParser::splitLines(body)) {
    const ParsedHit hit = HitLineParser::parse(line);
    if (!hit.valid()) continue;
    for (std::string_view field : HitLineParser::kRequiredFields) {
      const std::string* value = hit.find(field);
      if (!value || value->empty()) std::abort();
    }
  }
  return 0;
}

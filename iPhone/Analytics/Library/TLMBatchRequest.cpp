#include "TLMBatchRequest.h"

#include <algorithm>

#include "TLMFields.h"
#include "TLMRequestBuilder.h"

TLMBatchRequest TLMBatchRequest::make(std::vector<TLMHitRecord> hits,
                                      const std::vector<std::string>& lines,
                                      const Settings& settings, const TLMRequestBuilder& builder) {
  TLMBatchRequest made;
  made.hits_ = std::move(hits);
  if (made.hits_.empty()) return made;
  const bool secure = !isPlainHttp(made.hits_.front());
  const bool single = made.hits_.size() == 1;
  const std::string_view url = single ? (secure ? settings.httpsURL : settings.httpURL)
                                      : (secure ? settings.httpsBatchURL : settings.httpBatchURL);
  const std::string payload = joinPayload(lines, settings.maxHitSize);
  made.unsent_ =
      static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return leftOut(line, settings.maxHitSize);
      }));
  const uint64_t limit = settings.maxBodySize;
  if (limit != 0 && payload.size() > limit) return made;

  if (single && payload.size() < kGetLimit) {
    made.request_ = builder.requestGetUrl(url, payload);
  } else {
    made.request_ =
        builder.requestPostUrl(url, payload, single ? TLMCompressionNone : settings.compression);
  }
  // A compressed body can come out longer than its payload (a short or
  // incompressible one): it must fit too.
  if (limit != 0 && made.request_->body.size() > limit) made.request_.reset();
  return made;
}

std::string TLMBatchRequest::joinPayload(const std::vector<std::string>& lines,
                                         uint64_t maxHitSize) {
  std::string payload;
  for (const std::string& line : lines) {
    if (leftOut(line, maxHitSize)) continue;
    if (!payload.empty()) payload += '\n';
    payload += line;
  }
  return payload;
}

bool TLMBatchRequest::isPlainHttp(const TLMHitRecord& hit) {
  const platform::Value* useSecure = platform::find(hit.parameters, kTLMUseSecure);
  const std::string* text = useSecure ? platform::stringIf(*useSecure) : nullptr;
  return text && *text == "0";
}

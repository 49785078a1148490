// Fuzzes what the library reads from text a user or a link hands it: a
// campaign URL (the hit builder's campaign fields, the query decoder) and
// percent escapes. An input is one URL.
//
// Checks, beyond "no crash, no leak, no undefined behaviour": a UTF-8 text
// the library percent-encodes decodes back to itself (decoding answers
// nothing for bytes that are not UTF-8, as the platform's does), and the
// campaign fields taken from a URL are all wire parameters.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <utf8proc.h>

#include "TLMDictionaryBuilder.h"
#include "TLMStringUtil.h"

static bool isUtf8(std::string_view text) {
  auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size();) {
    utf8proc_int32_t codePoint;
    const utf8proc_ssize_t n = utf8proc_iterate(
        bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &codePoint);
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string encoded = TLMStringUtil::percentEncode(text);
  const std::optional<std::string> decoded = TLMStringUtil::percentDecode(encoded);
  if (isUtf8(text) ? !decoded || *decoded != text : decoded.has_value()) std::abort();
  (void)TLMStringUtil::percentDecode(text);
  (void)TLMStringUtil::decodeParametersFromQuery(text);
  (void)TLMStringUtil::decodeParametersFromUrl(text);
  (void)TLMStringUtil::urlParams(text);

  const platform::Dictionary fields =
      TLMDictionaryBuilder::createScreenView().setCampaignParametersFromUrl(text).build();
  for (const auto& [key, value] : fields) {
    if (key.empty() || key[0] != '&') std::abort();
  }
  return 0;
}

#include "TLMExceptionParser.h"

#include <vector>

#include "TLMStringUtil.h"

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string_view> splitAtWhitespace(std::string_view line) {
  std::vector<std::string_view> pieces;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && isBlank(line[pos]))
      ++pos;
    std::size_t start = pos;
    while (pos < line.size() && !isBlank(line[pos]))
      ++pos;
    if (pos > start) pieces.push_back(line.substr(start, pos - start));
  }
  return pieces;
}

// Walks UTF-8 text as UTF-16 code units would count it: one unit per code
// point in the basic plane, two (a surrogate pair) above it, and one for each
// byte that does not decode, as a replacement character would take.
struct Utf16Walker {
  explicit Utf16Walker(std::string_view text) : text(text) {}

  // Advances over one code point; answers its units, 0 at the end.
  std::size_t next() {
    if (pos >= text.size()) return 0;
    const TLMStringUtil::CodePoint cp = TLMStringUtil::codePointAt(text, pos);
    if (cp.length == 0) {
      pos += 1;
      return 1;
    }
    pos += cp.length;
    return cp.value > 0xFFFF ? 2 : 1;
  }

  std::string_view text;
  std::size_t pos = 0;
};

std::size_t utf16Length(std::string_view text) {
  Utf16Walker walker(text);
  std::size_t units = 0;
  while (std::size_t n = walker.next())
    units += n;
  return units;
}

// Keeps the first `maxUnits` UTF-16 units. A surrogate pair that would be
// split by the cut is dropped whole, so the text stays valid and is then one
// unit short of the maximum.
void cutToUtf16Length(std::string& text, std::size_t maxUnits) {
  Utf16Walker walker(text);
  std::size_t units = 0;
  while (true) {
    std::size_t before = walker.pos;
    std::size_t n = walker.next();
    if (n == 0) return;
    if (units + n > maxUnits) {
      text.erase(before);
      return;
    }
    units += n;
  }
}

}  // namespace

std::optional<std::string> TLMExceptionParser::symbolFromStackFrame(std::string_view line) {
  std::vector<std::string_view> pieces = splitAtWhitespace(line);
  if (pieces.size() < 4) return std::nullopt;
  if (pieces[3] == "+[NSException") return std::nullopt;
  // A line of exactly four pieces has no offset part; its fourth piece is
  // taken as the whole symbol.
  if (pieces.size() == 4 || pieces[4] == "+") return std::string(pieces[3]);
  std::string symbol(pieces[3]);
  symbol += ' ';
  symbol += pieces[4];
  return symbol;
}

std::string TLMExceptionParser::exceptionDescription(const platform::Exception& exception,
                                                     std::size_t maxLength) {
  std::string description = exception.name;
  std::size_t units = utf16Length(description);
  const std::vector<std::string>& frames = exception.callStackSymbols;
  bool traceStarted = false;
  // The two innermost frames are the raising machinery, not the caller.
  for (std::size_t i = 2; i < frames.size(); ++i) {
    std::optional<std::string> symbol = symbolFromStackFrame(frames[i]);
    if (!symbol) continue;
    if (!traceStarted) {
      description += "\nTrace:";
      units += 7;
      traceStarted = true;
    }
    description += '\n';
    description += *symbol;
    units += 1 + utf16Length(*symbol);
    if (maxLength > 0 && units >= maxLength) break;
  }
  if (maxLength > 0 && units > maxLength) cutToUtf16Length(description, maxLength);
  return description;
}

#include "platform/Foundation/Exception.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using platform::callStackLine;
using platform::currentCallStackSymbols;

std::vector<std::string> pieces(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string piece; in >> piece;)
    out.push_back(piece);
  return out;
}

// A frame line taken apart: "index image address symbol + offset".
struct Frame {
  std::string index, image, address, symbol, offset;
};

bool allOf(const std::string& s, const char* characters) {
  return !s.empty() && s.find_first_not_of(characters) == std::string::npos;
}

std::optional<Frame> parseFrame(const std::string& line) {
  const size_t plus = line.rfind(" + ");
  if (plus == std::string::npos) return std::nullopt;
  Frame frame;
  frame.offset = line.substr(plus + 3);
  std::istringstream head(line.substr(0, plus));
  head >> frame.index >> frame.image >> frame.address >> std::ws;
  std::getline(head, frame.symbol);
  if (!allOf(frame.index, "0123456789") || frame.image.empty() || frame.address.size() != 18 ||
      frame.address.rfind("0x", 0) != 0 || !allOf(frame.address.substr(2), "0123456789abcdef") ||
      frame.symbol.empty() || !allOf(frame.offset, "0123456789")) {
    return std::nullopt;
  }
  return frame;
}

TEST(CurrentCallStackSymbols, ListsTheCallersFramesInTheFrameLineForm) {
  const std::vector<std::string> lines = currentCallStackSymbols();
  ASSERT_GE(lines.size(), 3u);
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto frame = parseFrame(lines[i]);
    ASSERT_TRUE(frame) << lines[i];
    EXPECT_EQ(frame->index, std::to_string(i)) << lines[i];
  }
  // The innermost frame is this test, in this program, not the platform
  // library that took the stack.
  EXPECT_EQ(pieces(lines[0])[1], "Exception_test") << lines[0];
}

TEST(CallStackLine, NamesAnExportedFunctionDemangledWithItsOffset) {
  const auto entry = reinterpret_cast<const char*>(&platform::callStackLine);
  const std::string line = callStackLine(7, entry + 12);
  const auto frame = parseFrame(line);
  ASSERT_TRUE(frame) << line;
  EXPECT_EQ(frame->index, "7");
  EXPECT_EQ(frame->image.rfind("libhalden-platform.so", 0), 0u) << line;
  // Blanks survive only between words, so a reader splitting at blanks
  // still finds the symbol whole.
  EXPECT_EQ(frame->symbol, "platform::callStackLine[abi:cxx11](unsigned long,void const*)") << line;
  EXPECT_EQ(frame->offset, "12");
}

TEST(CallStackLine, NamesAPlainCFunctionAsItIs) {
  const auto entry = reinterpret_cast<const char*>(&::dladdr);
  const std::string line = callStackLine(0, entry + 1);
  const auto parts = pieces(line);
  ASSERT_EQ(parts.size(), 6u) << line;
  EXPECT_EQ(parts[3], "dladdr") << line;
  EXPECT_EQ(parts[5], "1");
}

static int notExported(int x) {
  return x + 1;
}

TEST(CallStackLine, FallsBackToTheImageLoadAddressWithoutASymbol) {
  const auto address = reinterpret_cast<const char*>(&notExported) + 4;
  Dl_info info{};
  ASSERT_NE(dladdr(address, &info), 0);
  const std::string line = callStackLine(1, address);
  const auto parts = pieces(line);
  ASSERT_EQ(parts.size(), 6u) << line;
  EXPECT_EQ(parts[1], "Exception_test");
  std::ostringstream base;
  base << "0x" << std::hex << reinterpret_cast<uintptr_t>(info.dli_fbase);
  EXPECT_EQ(parts[3], base.str());
  EXPECT_EQ(std::stoull(parts[5]),
            reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase));
  EXPECT_EQ(notExported(1), 2);
}

TEST(CallStackLine, SaysSoForAnAddressOutsideEveryImage) {
  int local = 0;
  const std::string line = callStackLine(2, &local);
  const auto parts = pieces(line);
  ASSERT_EQ(parts.size(), 6u) << line;
  EXPECT_EQ(parts[1], "???");
  EXPECT_EQ(parts[3].rfind("0x", 0), 0u);
  EXPECT_EQ(parts[5], "0");
}

}  // namespace

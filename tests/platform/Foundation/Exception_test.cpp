#include "platform/Foundation/Exception.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <regex>
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

// "index image address symbol + offset".
const std::regex kFrameLine(R"((\d+) +(\S+) +0x([0-9a-f]{16}) (\S+( \S+)*) \+ (\d+))");

TEST(CurrentCallStackSymbols, ListsTheCallersFramesInTheFrameLineForm) {
  const std::vector<std::string> lines = currentCallStackSymbols();
  ASSERT_GE(lines.size(), 3u);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, kFrameLine)) << lines[i];
    EXPECT_EQ(match[1], std::to_string(i)) << lines[i];
  }
  // The innermost frame is this test, in this program, not the platform
  // library that took the stack.
  EXPECT_EQ(pieces(lines[0])[1], "Exception_test") << lines[0];
}

TEST(CallStackLine, NamesAnExportedFunctionDemangledWithItsOffset) {
  const auto entry = reinterpret_cast<const char*>(&platform::callStackLine);
  const std::string line = callStackLine(7, entry + 12);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(line, match, kFrameLine)) << line;
  EXPECT_EQ(match[1], "7");
  EXPECT_EQ(match[2].str().rfind("libhalden-platform.so", 0), 0u) << line;
  // Blanks survive only between words, so a reader splitting at blanks
  // still finds the symbol whole.
  EXPECT_EQ(match[4], "platform::callStackLine[abi:cxx11](unsigned long,void const*)") << line;
  EXPECT_EQ(match[6], "12");
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

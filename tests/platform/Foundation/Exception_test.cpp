#include "platform/Foundation/Exception.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
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
  // The function's name without its parameter list, one word.
  EXPECT_EQ(frame->symbol, "platform::callStackLine[abi:cxx11]") << line;
  EXPECT_EQ(frame->offset, "12");
}

TEST(CallStackLine, NamesAPlainCFunctionAsItIsWithoutItsVersion) {
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

template <int N>
int templated() {
  return N;
}

namespace inner {
struct Widget {
  int operator()(int x) const { return x * 2; }
};
}  // namespace inner

TEST(CallStackLine, NamesFunctionsTheDynamicLinkerCannotSee) {
  // A static function of the program: no dynamic symbol covers it, the
  // program's own symbol table names it.
  const std::string line = callStackLine(1, reinterpret_cast<const char*>(&notExported) + 4);
  const auto frame = parseFrame(line);
  ASSERT_TRUE(frame) << line;
  EXPECT_EQ(frame->image, "Exception_test");
  EXPECT_EQ(frame->symbol, "(anonymous namespace)::notExported") << line;
  EXPECT_EQ(frame->offset, "4");
  EXPECT_EQ(notExported(1), 2);

  // A member operator keeps its "()", loses its parameters and qualifier.
  // (A pointer to a non-virtual member holds the function's address first.)
  const auto call = &inner::Widget::operator();
  uintptr_t entry = 0;
  std::memcpy(&entry, &call, sizeof entry);
  const std::string member = callStackLine(0, reinterpret_cast<const void*>(entry + 1));
  EXPECT_EQ(parseFrame(member)->symbol, "(anonymous namespace)::inner::Widget::operator()")
      << member;
  EXPECT_EQ(inner::Widget{}(2), 4);

  // A template function's name comes without the return type before it.
  const std::string instance = callStackLine(0, reinterpret_cast<const char*>(&templated<3>) + 1);
  EXPECT_EQ(parseFrame(instance)->symbol, "(anonymous namespace)::templated<3>") << instance;
  EXPECT_EQ(templated<3>(), 3);
}

TEST(CallStackLine, NamesTheImageAndOffsetWhereNoSymbolCoversTheAddress) {
  // The image's first bytes (its ELF header) belong to no function.
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<const void*>(&notExported), &info), 0);
  const auto address = static_cast<const char*>(info.dli_fbase) + 0x11;
  const auto parts = pieces(callStackLine(3, address));
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[3], "Exception_test+0x11");
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

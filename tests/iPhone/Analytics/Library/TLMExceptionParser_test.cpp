#include "TLMExceptionParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

platform::Exception exceptionWith(std::string name, std::vector<std::string> frames) {
  platform::Exception exception;
  exception.name = std::move(name);
  exception.reason = "the reason is never shown";
  exception.callStackSymbols = std::move(frames);
  return exception;
}

std::string frame(int index, const std::string& symbol) {
  return std::to_string(index) + "   libapp.so                           0x00007f1234567890 " +
         symbol + " + 24";
}

// The UTF-16 length of UTF-8 text, counted independently of the parser.
std::size_t utf16Units(const std::string& text) {
  std::size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) units += 1;  // a lead byte
    if ((c & 0xF8) == 0xF0) units += 1;  // four bytes: a surrogate pair
  }
  return units;
}

TEST(TLMExceptionParserTest, SymbolFromStackFrame) {
  EXPECT_EQ(TLMExceptionParser::symbolFromStackFrame(frame(3, "main")), "main");
  EXPECT_EQ(TLMExceptionParser::symbolFromStackFrame(
                "4 Foundation 0x1 -[NSObject(NSObject) doesNotRecognizeSelector:] + 10"),
            "-[NSObject(NSObject) doesNotRecognizeSelector:]");
  EXPECT_EQ(TLMExceptionParser::symbolFromStackFrame("\t2\tlibx.so\t0x2\tstart\t+\t1"), "start");
  // A frame without an exported symbol names its image's load address.
  EXPECT_EQ(
      TLMExceptionParser::symbolFromStackFrame("5 libx.so 0x7f12345abcde 0x7f1234500000 + 4242"),
      "0x7f1234500000");
  EXPECT_EQ(TLMExceptionParser::symbolFromStackFrame("1 lib 0x1 onlyFour"), "onlyFour");
}

TEST(TLMExceptionParserTest, SymbolFromStackFrameRefusesShortLinesAndRaisingFrames) {
  EXPECT_EQ(TLMExceptionParser::symbolFromStackFrame(""), std::nullopt);
  EXPECT_EQ(TLMExceptionParser::symbolFromStackFrame("   "), std::nullopt);
  EXPECT_EQ(TLMExceptionParser::symbolFromStackFrame("0 libapp.so 0x1"), std::nullopt);
  EXPECT_EQ(TLMExceptionParser::symbolFromStackFrame(
                "1 CoreFoundation 0x1 +[NSException raise:format:] + 12"),
            std::nullopt);
}

TEST(TLMExceptionParserTest, DescriptionIsTheNameAndTheOuterFrames) {
  auto exception = exceptionWith(
      "NSInvalidArgumentException",
      {frame(0, "raise"), frame(1, "throwIt"), frame(2, "main"), "bad line", frame(4, "start")});
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(exception, 0),
            "NSInvalidArgumentException\nTrace:\nmain\nstart");
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(exception, 150),
            "NSInvalidArgumentException\nTrace:\nmain\nstart");
}

TEST(TLMExceptionParserTest, DescriptionWithoutUsableFramesIsJustTheName) {
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(exceptionWith("E", {}), 0), "E");
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(
                exceptionWith("E", {frame(0, "a"), frame(1, "b")}), 0),
            "E");
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(
                exceptionWith("E", {frame(0, "a"), frame(1, "b"), "x y", ""}), 0),
            "E");
}

TEST(TLMExceptionParserTest, LongDescriptionsAreCutToTheMaximum) {
  std::vector<std::string> frames;
  for (int i = 0; i < 200; ++i)
    frames.push_back(frame(i, "function" + std::to_string(i)));
  auto exception = exceptionWith("RangeError", frames);

  std::string whole = TLMExceptionParser::exceptionDescription(exception, 0);
  EXPECT_EQ(
      whole.size(), std::string("RangeError\nTrace:").size() + [] {
        std::size_t n = 0;
        for (int i = 2; i < 200; ++i)
          n += 1 + std::string("function" + std::to_string(i)).size();
        return n;
      }());
  std::string cut = TLMExceptionParser::exceptionDescription(exception, 150);
  EXPECT_EQ(cut.size(), 150u);
  EXPECT_EQ(cut, whole.substr(0, 150));

  auto longName = exceptionWith(std::string(400, 'N'), {});
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(longName, 150), std::string(150, 'N'));
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(longName, 1), "N");
}

TEST(TLMExceptionParserTest, CutsCountUtf16UnitsAndNeverSplitASurrogatePair) {
  // "é" is one unit in two bytes: 150 of them fit a maximum of 150.
  std::string accents;
  for (int i = 0; i < 200; ++i)
    accents += "é";
  std::string cut = TLMExceptionParser::exceptionDescription(exceptionWith(accents, {}), 150);
  EXPECT_EQ(utf16Units(cut), 150u);
  EXPECT_EQ(cut.size(), 300u);

  // An emoji is two units; one that would straddle the cut goes whole.
  std::string name = std::string(149, 'x') + "😀😀";
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(exceptionWith(name, {}), 150),
            std::string(149, 'x'));
  name = std::string(148, 'x') + "😀😀";
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(exceptionWith(name, {}), 150),
            std::string(148, 'x') + "😀");

  // Bytes that are not UTF-8 count one unit each and do not crash the cut.
  std::string junk(300, '\xFF');
  EXPECT_EQ(TLMExceptionParser::exceptionDescription(exceptionWith(junk, {}), 150).size(), 150u);
}

TEST(TLMExceptionParserTest, DescribesARealCallStack) {
  platform::Exception exception = exceptionWith("Real", platform::currentCallStackSymbols());
  std::string description = TLMExceptionParser::exceptionDescription(exception, 0);
  EXPECT_EQ(description.rfind("Real", 0), 0u);
  if (exception.callStackSymbols.size() > 2) {
    EXPECT_NE(description.find("\nTrace:\n"), std::string::npos) << description;
  }
  EXPECT_LE(utf16Units(TLMExceptionParser::exceptionDescription(exception, 40)), 40u);
}

}  // namespace

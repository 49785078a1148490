#include "tools/collector/ConsoleText.h"

#include <gtest/gtest.h>

namespace halden::collector {
namespace {

TEST(ConsoleTextTest, ControlsShowAsEscapesAndTextStaysAsItIs) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain id-42", "plain id-42"},
      {"naïve café 日本語 ☃", "naïve café 日本語 ☃"},
      {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},  // C0: ESC, BEL
      {"over\rwritten\nline\ttab", "over\\x0dwritten\\x0aline\\x09tab"},
      {std::string("nul\0byte", 8), "nul\\x00byte"},
      {"del\x7f", "del\\x7f"},
      {"csi\xc2\x9b"
       "31m",
       "csi\\xc2\\x9b31m"},  // C1 CSI as UTF-8
      {"lone\x9b"
       "31m",
       "lone\\x9b31m"},                  // C1 CSI as an 8-bit byte
      {"bad\xff\xc3", "bad\\xff\\xc3"},  // not UTF-8, cut short
      {"a\\x1b", "a\\\\x1b"},            // a written escape stays visible as one
  };
  for (const auto& [text, shown] : cases) {
    EXPECT_EQ(ConsoleText::escape(text), shown);
  }
}

}  // namespace
}  // namespace halden::collector

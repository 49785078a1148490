// Script values convert as the platform's own strings and numbers do, so a
// command reading "10" or 10 sees the same thing.

#include "platform/Cordova/ScriptValue.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using platform::Number;
using platform::ScriptValue;

ScriptValue str(const char* s) {
  return ScriptValue(std::string(s));
}

TEST(ScriptValueTest, StringsConvertByTheirLeadingText) {
  for (const char* yes : {"yes", "YES", "true", "T", "  y", "10", "+1", "-3", "0009", "1x"})
    EXPECT_TRUE(str(yes).boolValue()) << yes;
  for (const char* no : {"no", "false", "0", "", "  ", "000", "-0", "x1", "nil", ".5"})
    EXPECT_FALSE(str(no).boolValue()) << no;

  EXPECT_EQ(str("10").intValue(), 10);
  EXPECT_EQ(str("  -42abc").intValue(), -42);
  EXPECT_EQ(str("abc").intValue(), 0);
  EXPECT_EQ(str("3.9").intValue(), 3);
  EXPECT_EQ(str("99999999999999999999").intValue(), INT_MAX);
  EXPECT_EQ(str("-99999999999999999999").intValue(), INT_MIN);

  EXPECT_DOUBLE_EQ(str("2.5kg").doubleValue(), 2.5);
  EXPECT_DOUBLE_EQ(str(" -1e3").doubleValue(), -1000.0);
  EXPECT_DOUBLE_EQ(str(".5").doubleValue(), 0.5);
  EXPECT_DOUBLE_EQ(str("inf").doubleValue(), 0.0);
  EXPECT_DOUBLE_EQ(str("0x10").doubleValue(), 0.0);
  EXPECT_DOUBLE_EQ(str("ten").doubleValue(), 0.0);
}

TEST(ScriptValueTest, NumbersConvertByValueAndOthersToZero) {
  EXPECT_TRUE(ScriptValue(Number(true)).boolValue());
  EXPECT_FALSE(ScriptValue(Number(0.0)).boolValue());
  EXPECT_TRUE(ScriptValue(Number(0.25)).boolValue());
  EXPECT_EQ(ScriptValue(Number(7.9)).intValue(), 7);
  EXPECT_EQ(ScriptValue(Number(1e20)).intValue(), INT_MAX);
  EXPECT_EQ(ScriptValue(Number(-1e20)).intValue(), INT_MIN);
  EXPECT_DOUBLE_EQ(ScriptValue(Number(12)).doubleValue(), 12.0);

  for (const ScriptValue& v :
       {ScriptValue(), ScriptValue::array("[1]"), ScriptValue::object("{}")}) {
    EXPECT_FALSE(v.boolValue());
    EXPECT_EQ(v.intValue(), 0);
    EXPECT_EQ(v.doubleValue(), 0.0);
  }
}

TEST(ScriptValueTest, HitValuesTextAndJson) {
  EXPECT_EQ(str("Home").value(), platform::Value(std::string("Home")));
  EXPECT_EQ(ScriptValue(Number(true)).value(), platform::Value(Number(true)));
  EXPECT_TRUE(platform::isNull(ScriptValue().value()));
  EXPECT_EQ(ScriptValue::array("[1,\"a\"]").value(), platform::Value(std::string("[1,\"a\"]")));

  EXPECT_EQ(str("x").text(), "x");
  EXPECT_EQ(ScriptValue(Number(1.5)).text(), "1.5");
  EXPECT_EQ(ScriptValue(Number(true)).text(), "1");
  EXPECT_EQ(ScriptValue().text(), std::nullopt);
  EXPECT_EQ(ScriptValue::object("{\"a\":1}").text(), "{\"a\":1}");

  EXPECT_EQ(str("a\"b\n").json(), "\"a\\\"b\\n\"");
  EXPECT_EQ(ScriptValue(Number(true)).json(), "true");
  EXPECT_EQ(ScriptValue(Number(-3)).json(), "-3");
  EXPECT_EQ(ScriptValue(Number(0.1)).json(), "0.1");
  EXPECT_EQ(ScriptValue(Number(1.0 / 0.0)).json(), "null") << "JSON has no infinity";
  EXPECT_EQ(ScriptValue().json(), "null");
  EXPECT_EQ(str("\xff").json(), "\"\xEF\xBF\xBD\"") << "invalid UTF-8 is replaced, not thrown";

  EXPECT_EQ(ScriptValue(Number(1)), ScriptValue(Number(1.0)));
  EXPECT_NE(ScriptValue(Number(1)), ScriptValue(Number(true)));
  EXPECT_NE(str("1"), ScriptValue(Number(1)));
}

}  // namespace

#include "platform/CoreData/Predicate.h"

#include <gtest/gtest.h>

namespace {

using platform::Predicate;

TEST(Predicate, ReadsTheTwoComparisonsItOffers) {
  auto equal = Predicate::predicateWithFormat("%K == %@", "name", std::string("ClientId"));
  ASSERT_TRUE(equal);
  EXPECT_EQ(equal->op(), Predicate::Operator::kEqualTo);
  EXPECT_EQ(equal->key(), "name");
  EXPECT_EQ(std::get<std::string>(equal->value()), "ClientId");

  auto atMost = Predicate::predicateWithFormat("%K<=%@", "timestamp", platform::Date());
  ASSERT_TRUE(atMost);
  EXPECT_EQ(atMost->op(), Predicate::Operator::kLessThanOrEqualTo);
}

TEST(Predicate, RefusesAnyOtherFormat) {
  for (const char* format : {"", "%K < %@", "%K >= %@", "%K != %@", "name == %@", "%K == 'x'",
                             "%K == %@ AND %K == %@", "%@ <= %K"}) {
    EXPECT_FALSE(Predicate::predicateWithFormat(format, "k", std::string("v"))) << format;
  }
}

}  // namespace

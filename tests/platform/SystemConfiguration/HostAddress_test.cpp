#include "platform/SystemConfiguration/HostAddress.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> texts(const std::vector<HostAddress>& addresses) {
  std::vector<std::string> out;
  for (const auto& a : addresses)
    out.push_back(a.text());
  return out;
}

TEST(HostAddressTest, ParsesNumericFormsOnly) {
  const auto v4 = HostAddress::parse("127.0.0.1");
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->family, AF_INET);
  EXPECT_EQ(v4->size(), 4u);
  EXPECT_EQ(v4->text(), "127.0.0.1");

  const auto v6 = HostAddress::parse("[::1]");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->family, AF_INET6);
  EXPECT_EQ(v6->size(), 16u);
  EXPECT_EQ(v6->text(), "::1");

  const auto scoped = HostAddress::parse("fe80::1%1");
  ASSERT_TRUE(scoped);
  EXPECT_EQ(scoped->scopeId, 1u);
  EXPECT_EQ(scoped->text(), "fe80::1%1");

  for (const char* notNumeric :
       {"", "localhost", "host.example.invalid", "1.2.3.4.5", "[::1", "::g", "1.2.3.4 "})
    EXPECT_FALSE(HostAddress::parse(notNumeric)) << notNumeric;
  EXPECT_FALSE(HostAddress::parse(std::string_view("127.0.0.1\0x", 11)));
}

class HostsFileTest : public ::testing::Test {
 protected:
  std::string write(const std::string& contents) {
    const std::string path = dir_.path() + "/hosts";
    std::ofstream(path) << contents;
    return path;
  }
  testing_support::TempDir dir_;
};

TEST_F(HostsFileTest, FindsEveryAddressOfANameInFileOrder) {
  const std::string hosts = write(
      "# the usual entries\n"
      "127.0.0.1\tlocalhost\n"
      "10.9.8.7   collector.test  collector   # the test host\n"
      "  ::1 localhost ip6-localhost\n"
      "fd00::7 COLLECTOR.test\n"
      "10.9.8.7 collector.test\n"
      "not-an-address collector.test\n"
      "#10.1.1.1 collector.test\n"
      "\n");
  EXPECT_THAT(texts(lookUpHostWithoutDns("collector.test", hosts)),
              ElementsAre("10.9.8.7", "fd00::7"));
  EXPECT_THAT(texts(lookUpHostWithoutDns("Collector.Test.", hosts)),
              ElementsAre("10.9.8.7", "fd00::7"));
  EXPECT_THAT(texts(lookUpHostWithoutDns("collector", hosts)), ElementsAre("10.9.8.7"));
  EXPECT_THAT(texts(lookUpHostWithoutDns("localhost", hosts)), ElementsAre("127.0.0.1", "::1"));
  EXPECT_THAT(lookUpHostWithoutDns("elsewhere.test", hosts), IsEmpty());
  EXPECT_THAT(lookUpHostWithoutDns("", hosts), IsEmpty());
  EXPECT_THAT(lookUpHostWithoutDns(".", hosts), IsEmpty());
}

TEST_F(HostsFileTest, NumericHostsAreTakenAsTheyAre) {
  const std::string hosts = write("10.0.0.1 192.0.2.5\n");
  EXPECT_THAT(texts(lookUpHostWithoutDns("192.0.2.5", hosts)), ElementsAre("192.0.2.5"));
}

TEST_F(HostsFileTest, LocalhostIsLoopbackEvenWhenTheFileForgetsIt) {
  const std::string hosts = write("10.0.0.1 other\n");
  EXPECT_THAT(texts(lookUpHostWithoutDns("localhost", hosts)), ElementsAre("127.0.0.1", "::1"));
  EXPECT_THAT(texts(lookUpHostWithoutDns("app.LOCALHOST", hosts)), ElementsAre("127.0.0.1", "::1"));
  EXPECT_THAT(lookUpHostWithoutDns("notlocalhost", hosts), IsEmpty());
  EXPECT_THAT(texts(lookUpHostWithoutDns("localhost", dir_.path() + "/missing")),
              ElementsAre("127.0.0.1", "::1"));
  EXPECT_THAT(lookUpHostWithoutDns("other", dir_.path() + "/missing"), IsEmpty());
}

}  // namespace
}  // namespace platform

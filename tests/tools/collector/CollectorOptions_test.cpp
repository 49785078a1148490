#include "tools/collector/CollectorOptions.h"

#include <gtest/gtest.h>

namespace halden::collector {
namespace {

using Action = CollectorOptions::Parsed::Action;

CollectorOptions::Parsed parse(std::vector<std::string_view> arguments) {
  return CollectorOptions::parse(arguments);
}

TEST(CollectorOptionsTest, DefaultsBindLoopbackOnAFreePortWithoutHttps) {
  const auto parsed = parse({});
  ASSERT_EQ(parsed.action, Action::kRun);
  EXPECT_EQ(parsed.options.host, "127.0.0.1");
  EXPECT_EQ(parsed.options.port, 0);
  EXPECT_EQ(parsed.options.httpsPort, -1);
  EXPECT_FALSE(parsed.options.quiet);
  EXPECT_EQ(parsed.options.faults.status, 0);
}

TEST(CollectorOptionsTest, ReadsValuesInBothSpellings) {
  const auto parsed =
      parse({"--port", "8080", "--out=hits.jsonl", "--quiet", "--drop-first", "2", "--fail-first=3",
             "--delay-ms", "250", "--redirect-to", "/r", "--max-body", "1000"});
  ASSERT_EQ(parsed.action, Action::kRun) << parsed.error;
  const CollectorOptions& o = parsed.options;
  EXPECT_EQ(o.port, 8080);
  EXPECT_EQ(o.outPath, "hits.jsonl");
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(o.faults.dropFirst, 2u);
  EXPECT_EQ(o.faults.failFirst, 3u);
  EXPECT_EQ(o.faults.delay.count(), 250);
  EXPECT_EQ(o.faults.redirectTo, "/r");
  EXPECT_EQ(o.faults.redirectStatus, 307);
  EXPECT_EQ(o.maxBodyBytes, 1000u);
}

TEST(CollectorOptionsTest, ReadsTheFaultsOfAnswersAndTheRequestDeadline) {
  const auto parsed =
      parse({"--fail-first", "30", "--fail-status", "429", "--retry-after", "120", "--poison",
             "ea=bad", "--poison-status", "503", "--body-bytes", "1048576", "--redirect-to",
             "http://127.0.0.1:8080", "--redirect-status", "308", "--request-timeout-ms", "1500"});
  ASSERT_EQ(parsed.action, Action::kRun) << parsed.error;
  const FaultPlan& f = parsed.options.faults;
  EXPECT_EQ(f.retryAfter, "120");
  EXPECT_EQ(f.poison, "ea=bad");
  EXPECT_EQ(f.poisonStatus, 503);
  EXPECT_EQ(f.bodyBytes, 1048576u);
  EXPECT_EQ(f.redirectTo, "http://127.0.0.1:8080");
  EXPECT_EQ(f.redirectStatus, 308);
  EXPECT_EQ(parsed.options.requestTimeout.count(), 1500);
  EXPECT_EQ(parse({}).options.faults.poisonStatus, 500);
}

TEST(CollectorOptionsTest, CertificateAloneServesHttpsOnAFreePort) {
  const auto parsed = parse({"--cert", "c.pem", "--key", "k.pem"});
  ASSERT_EQ(parsed.action, Action::kRun);
  EXPECT_EQ(parsed.options.httpsPort, 0);
}

TEST(CollectorOptionsTest, HelpWinsOverEverythingElse) {
  EXPECT_EQ(parse({"--port", "1", "--help"}).action, Action::kHelp);
  EXPECT_EQ(parse({"-h"}).action, Action::kHelp);
}

TEST(CollectorOptionsTest, RejectsBadCommandLinesWithAReason) {
  const std::vector<std::vector<std::string_view>> bad = {
      {"--port"},
      {"--port", "65536"},
      {"--port", "12ab"},
      {"--port", "-1"},
      {"--status", "99"},
      {"--status", "600"},
      {"--redirect-status", "200"},
      {"--redirect-to", "relative"},
      {"--redirect-to", "/batch"},
      {"--redirect-to", "ftp://host/"},
      {"--redirect-to", "http://"},
      {"--retry-after", ""},
      {"--retry-after", "120\r\nX-Injected: 1"},
      {"--request-timeout-ms", "0"},
      {"--cert", "c.pem"},
      {"--https-port", "443"},
      {"--quiet=yes"},
      {"--threads", "0"},
      {"--bogus"},
      {"positional"},
  };
  for (const auto& arguments : bad) {
    const auto parsed = parse(arguments);
    EXPECT_EQ(parsed.action, Action::kError) << arguments.front();
    EXPECT_FALSE(parsed.error.empty());
  }
}

TEST(CollectorOptionsTest, UsageNamesEveryOption) {
  const std::string usage = CollectorOptions::usage();
  for (const char* option : {"--host",
                             "--port",
                             "--port-file",
                             "--cert",
                             "--key",
                             "--https-port",
                             "--https-port-file",
                             "--threads",
                             "--backlog",
                             "--keep-alive",
                             "--max-body",
                             "--out",
                             "--append",
                             "--keep",
                             "--quiet",
                             "--status",
                             "--batch-status",
                             "--fail-first",
                             "--fail-status",
                             "--drop",
                             "--drop-first",
                             "--delay-ms",
                             "--redirect-to",
                             "--redirect-status",
                             "--retry-after",
                             "--poison",
                             "--poison-status",
                             "--body-bytes",
                             "--request-timeout-ms",
                             "--help"}) {
    EXPECT_NE(usage.find(std::string(option) + " "), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace halden::collector

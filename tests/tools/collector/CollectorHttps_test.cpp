#include <gtest/gtest.h>

#include "CollectorTestClient.h"
#include "support/TestCertificates.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

namespace halden::collector {
namespace {

using namespace collector_test;

using testing_support::httpsOptions;
using testing_support::TestCertificates;

TEST(CollectorHttpsTest, TakesVerifiedHttpsNextToPlainHttp) {
  TestCertificates certificates;
  CollectorOptions options = httpsOptions(certificates);
  options.httpsPortFile = certificates.dir() + "/https-port";
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  ASSERT_GT(collector->httpsPort(), 0);
  EXPECT_NE(collector->httpsPort(), collector->port());
  EXPECT_EQ(collector->httpsOrigin(),
            "https://127.0.0.1:" + std::to_string(collector->httpsPort()));

  const Params params = withExtra(requiredFields("event"), {{"ec", "secure & sound"}});
  Request request;
  request.method = "POST";
  request.url = collector->httpsOrigin() + "/batch";
  request.body = gzip(hitLine(params) + "\n" + hitLine(params));
  request.headers = {"Content-Encoding: gzip"};
  request.caFile = certificates.authorityFile();
  const Reply reply = perform(request);
  ASSERT_EQ(reply.code, CURLE_OK) << reply.error;
  EXPECT_EQ(reply.status, 200);
  ASSERT_EQ(get(collector->origin() + "/collect?" + hitLine(params)).status, 200);

  const nlohmann::json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0]["scheme"], "https");
  EXPECT_EQ(hits[0]["params"]["ec"], "secure & sound");
  EXPECT_EQ(hits[0]["encoding"], "gzip");
  EXPECT_EQ(hits[2]["scheme"], "http");
  EXPECT_EQ(collector->stats().requests, 2u);
}

TEST(CollectorHttpsTest, ClientWithoutTheAuthorityRefusesTheServer) {
  TestCertificates certificates;
  auto collector = startCollector(httpsOptions(certificates));
  ASSERT_TRUE(collector);
  const Reply reply = get(collector->httpsOrigin() + "/stats");
  EXPECT_EQ(reply.code, CURLE_PEER_FAILED_VERIFICATION) << reply.error;
}

TEST(CollectorHttpsTest, DropWorksOverTls) {
  TestCertificates certificates;
  CollectorOptions options = httpsOptions(certificates);
  options.faults.dropFirst = 1;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  Request request;
  request.url = collector->httpsOrigin() + "/collect?" + hitLine(requiredFields("event"));
  request.caFile = certificates.authorityFile();
  const Reply dropped = perform(request);
  EXPECT_NE(dropped.code, CURLE_OK);
  EXPECT_EQ(dropped.status, 0);
  const Reply answered = perform(request);
  EXPECT_EQ(answered.code, CURLE_OK) << answered.error;
  EXPECT_EQ(answered.status, 200);
  EXPECT_EQ(collector->stats().dropped, 1u);
}

TEST(CollectorHttpsTest, StartFailsOnAnUnusableCertificate) {
  TestCertificates certificates;
  CollectorOptions options = httpsOptions(certificates);
  options.keyFile = certificates.authorityFile();  // a certificate is no private key
  options.quiet = true;
  Collector collector(options);
  std::string error;
  EXPECT_FALSE(collector.start(error));
  EXPECT_NE(error.find("certificate"), std::string::npos) << error;
  EXPECT_EQ(collector.port(), -1);
}

}  // namespace
}  // namespace halden::collector

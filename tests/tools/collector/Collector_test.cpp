#include "tools/collector/Collector.h"

#include <gtest/gtest.h>

#include <fstream>

#include "CollectorTestClient.h"
#include "support/TestSupport.h"

namespace halden::collector {
namespace {

using namespace collector_test;
using nlohmann::json;

// Values a client must encode with care: blanks, the separators, the escape
// characters themselves, quotes, line breaks, non-ASCII text, empty values.
const Params kAwkward = {{"cd", "Home Page"},
                         {"ec", "a&b"},
                         {"ea", "k=v"},
                         {"el", "1+1"},
                         {"ev", "100%"},
                         {"cs", "say \"hi\" it's"},
                         {"cn", "naïve café 日本語 ☃"},
                         {"ck", "two\nlines"},
                         {"an", ""},
                         {"cm", "%41 not an escape"},
                         {"cc", "#?/;:@[]"},
                         {"z", "12345"}};

json paramsObject(const Params& params) {
  json object = json::object();
  for (const auto& [key, value] : params)
    object[key] = value;
  return object;
}

TEST(CollectorTest, GetCollectRecordsTheDecodedQuery) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  const Params params = withExtra(requiredFields("screenview"), kAwkward);

  const Reply reply = get(collector->origin() + "/collect?" + hitLine(params));
  ASSERT_EQ(reply.code, CURLE_OK) << reply.error;
  EXPECT_EQ(reply.status, 200);

  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0]["params"], paramsObject(params));
  EXPECT_EQ(hits[0]["method"], "GET");
  EXPECT_EQ(hits[0]["path"], "/collect");
  EXPECT_EQ(hits[0]["encoding"], "");
  EXPECT_EQ(hits[0]["valid"], true);
  EXPECT_EQ(hits[0]["status"], 200);
  EXPECT_EQ(hits[0]["line"], hitLine(params));
  // The order of the line is kept: the cache buster came last.
  EXPECT_EQ(hits[0]["pairs"].back(), json::array({"z", "12345"}));
}

TEST(CollectorTest, PostCollectTakesTheBodyAsOneHit) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  const Params params = withExtra(requiredFields("event"), kAwkward);

  const Reply reply = post(collector->origin() + "/collect", hitLine(params));
  ASSERT_EQ(reply.code, CURLE_OK) << reply.error;
  EXPECT_EQ(reply.status, 200);

  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0]["params"], paramsObject(params));
  EXPECT_EQ(hits[0]["method"], "POST");
  EXPECT_EQ(hits[0]["content_type"], "application/x-www-form-urlencoded; charset=UTF-8");
}

TEST(CollectorTest, BatchesDecodeInEveryEncoding) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  std::vector<Params> batch;
  for (int i = 0; i < 3; ++i) {
    batch.push_back(withExtra(requiredFields(i == 0 ? "screenview" : "event"), kAwkward));
    batch.back().push_back({"_s", std::to_string(i + 1)});
  }
  std::string payload;
  for (const Params& hit : batch)
    payload += (payload.empty() ? "" : "\n") + hitLine(hit);

  const std::vector<std::pair<std::string, std::string>> bodies = {
      {"gzip", gzip(payload)}, {"deflate", zlibDeflate(payload)}, {"", payload}};
  std::uint64_t expectedBytes = 0;
  for (const auto& [encoding, body] : bodies) {
    const Reply reply = post(collector->origin() + "/batch", body, encoding);
    ASSERT_EQ(reply.code, CURLE_OK) << reply.error;
    EXPECT_EQ(reply.status, 200) << encoding << ": " << reply.body;
    expectedBytes += body.size();
  }

  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 9u);
  for (std::size_t i = 0; i < hits.size(); ++i) {
    SCOPED_TRACE("hit " + std::to_string(i));
    EXPECT_EQ(hits[i]["params"], paramsObject(batch[i % 3]));
    EXPECT_EQ(hits[i]["encoding"], bodies[i / 3].first);
    EXPECT_EQ(hits[i]["path"], "/batch");
    EXPECT_EQ(hits[i]["index"], i % 3);
    EXPECT_EQ(hits[i]["seq"], i + 1);
  }
  const CollectorStats stats = collector->stats();
  EXPECT_EQ(stats.requests, 3u);
  EXPECT_EQ(stats.hits, 9u);
  // Bytes as they came over the wire prove the body reached us still compressed.
  EXPECT_EQ(stats.bytes, expectedBytes);
  EXPECT_EQ(stats.decodedBytes, 3 * payload.size());
}

TEST(CollectorTest, CountsAndMarksInvalidHits) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  Params noCid = requiredFields("event");
  noCid.erase(noCid.begin() + 2);
  const std::string payload = hitLine(requiredFields("event")) + "\n" + hitLine(noCid) + "\n\n" +
                              "garbage without fields\n" + hitLine(requiredFields("timing")) + "\n";
  const Reply reply = post(collector->origin() + "/batch", gzip(payload), "gzip");
  ASSERT_EQ(reply.code, CURLE_OK);
  EXPECT_EQ(reply.status, 200);

  const CollectorStats stats = collector->stats();
  EXPECT_EQ(stats.hits, 4u);  // the empty line is no hit
  EXPECT_EQ(stats.validHits, 2u);
  EXPECT_EQ(stats.invalidHits, 2u);
  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 4u);
  EXPECT_EQ(hits[1]["valid"], false);
  EXPECT_EQ(hits[1]["problems"], json::array({"missing cid"}));
  EXPECT_EQ(hits[2]["problems"].size(), 4u);
}

TEST(CollectorTest, StatsEndpointCountsHitRequestsOnly) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  const std::string origin = collector->origin();
  const std::string line = hitLine(requiredFields("event"));
  ASSERT_EQ(get(origin + "/collect?" + line).status, 200);
  const std::string body = gzip(line + "\n" + line);
  ASSERT_EQ(post(origin + "/batch", body, "gzip").status, 200);
  ASSERT_EQ(get(origin + "/hits").status, 200);
  EXPECT_EQ(get(origin + "/elsewhere").status, 404);

  const json stats = getJson(origin + "/stats");
  ASSERT_TRUE(stats.is_object());
  EXPECT_EQ(stats["requests"], 2);
  EXPECT_EQ(stats["hits"], 3);
  EXPECT_EQ(stats["valid_hits"], 3);
  EXPECT_EQ(stats["invalid_hits"], 0);
  EXPECT_EQ(stats["accepted_hits"], 3);
  EXPECT_EQ(stats["bytes"], line.size() + body.size());
  EXPECT_EQ(stats["statuses"], json({{"200", 2}}));
  EXPECT_EQ(stats["paths"], json({{"/batch", 1}, {"/collect", 1}}));
}

TEST(CollectorTest, HitsEndpointAnswersFromASequenceNumber) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  const std::string origin = collector->origin();
  for (const char* type : {"event", "timing", "item"}) {
    ASSERT_EQ(post(origin + "/collect", hitLine(requiredFields(type))).status, 200);
  }
  const json all = getJson(origin + "/hits");
  ASSERT_EQ(all.size(), 3u);
  const json later = getJson(origin + "/hits?since=2");
  ASSERT_EQ(later.size(), 2u);
  EXPECT_EQ(later[0]["params"]["t"], "timing");
  EXPECT_EQ(later[1]["seq"], 3);
}

TEST(CollectorTest, KeepsOnlyTheNewestHitsInMemory) {
  CollectorOptions options;
  options.keep = 2;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  const std::string line = hitLine(requiredFields("event"));
  ASSERT_EQ(post(collector->origin() + "/batch", line + "\n" + line + "\n" + line).status, 200);
  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0]["seq"], 2);
  EXPECT_EQ(collector->stats().hits, 3u);
}

TEST(CollectorTest, RejectsBodiesItCannotDecode) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  const std::string origin = collector->origin();
  const std::string whole = gzip(hitLine(requiredFields("event")));

  const Reply truncated = post(origin + "/batch", whole.substr(0, whole.size() / 2), "gzip");
  EXPECT_EQ(truncated.status, 400);
  EXPECT_NE(truncated.body.find("truncated"), std::string::npos) << truncated.body;
  EXPECT_EQ(post(origin + "/batch", "not deflated", "deflate").status, 400);
  EXPECT_EQ(post(origin + "/batch", "abc", "br").status, 415);
  EXPECT_EQ(get(origin + "/batch?v=1").status, 405);

  const CollectorStats stats = collector->stats();
  EXPECT_EQ(stats.requests, 4u);
  EXPECT_EQ(stats.badRequests, 4u);
  EXPECT_EQ(stats.hits, 0u);
}

TEST(CollectorTest, EmptyRequestsAreAnsweredAndCounted) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  // A client whose compressor produced nothing still names the coding.
  EXPECT_EQ(post(collector->origin() + "/batch", "", "gzip").status, 200);
  EXPECT_EQ(get(collector->origin() + "/collect").status, 200);
  EXPECT_EQ(get(collector->origin() + "/collect?").status, 200);
  const CollectorStats stats = collector->stats();
  EXPECT_EQ(stats.emptyRequests, 3u);
  EXPECT_EQ(stats.hits, 0u);
  EXPECT_EQ(stats.badRequests, 0u);
}

TEST(CollectorTest, WritesOneJsonLinePerHitAndAppendsWhenAsked) {
  testing_support::TempDir dir;
  const std::string file = dir.path() + "/hits.jsonl";
  for (int run = 0; run < 2; ++run) {
    CollectorOptions options;
    options.outPath = file;
    options.append = run == 1;
    auto collector = startCollector(options);
    ASSERT_TRUE(collector);
    const Params params = withExtra(requiredFields("event"), kAwkward);
    ASSERT_EQ(
        post(collector->origin() + "/batch", gzip(hitLine(params) + "\n" + hitLine(params)), "gzip")
            .status,
        200);
    collector->stop();

    std::ifstream in(file);
    std::vector<json> records;
    for (std::string line; std::getline(in, line);)
      records.push_back(json::parse(line));
    ASSERT_EQ(records.size(), run == 0 ? 2u : 4u);
    for (const json& record : records) {
      EXPECT_EQ(record["params"], paramsObject(params));
      EXPECT_EQ(record["encoding"], "gzip");
      EXPECT_EQ(record["method"], "POST");
      EXPECT_EQ(record["path"], "/batch");
      EXPECT_TRUE(record["received"].is_string());
      EXPECT_GT(record["received_ms"].get<std::int64_t>(), 0);
    }
  }
}

TEST(CollectorTest, RecordsTextThatIsNotUtf8WithoutLosingTheHit) {
  auto collector = startCollector();
  ASSERT_TRUE(collector);
  const std::string line = hitLine(requiredFields("event")) + "&ec=%FF%FE";
  ASSERT_EQ(post(collector->origin() + "/collect", line).status, 200);
  const json hits = receivedHits(*collector);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0]["valid"], false);
  EXPECT_EQ(collector->stats().invalidHits, 1u);
}

TEST(CollectorTest, TakesABurstOfConnections) {
  CollectorOptions options;
  options.threads = 8;
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  initCurlOnce();
  constexpr int kConnections = 200;
  const std::string url = collector->origin() + "/collect?" + hitLine(requiredFields("event"));
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> easies;
  for (int i = 0; i < kConnections; ++i) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(
        easy, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
    curl_multi_add_handle(multi, easy);
    easies.push_back(easy);
  }
  int running = 0;
  do {
    curl_multi_perform(multi, &running);
    if (running) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  } while (running);
  int answered = 0;
  for (CURL* easy : easies) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status == 200) ++answered;
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
  }
  curl_multi_cleanup(multi);
  EXPECT_EQ(answered, kConnections);
  EXPECT_EQ(collector->stats().hits, static_cast<std::uint64_t>(kConnections));
}

TEST(CollectorTest, StopsCleanlyAndOnlyOnce) {
  testing_support::TempDir dir;
  CollectorOptions options;
  options.portFile = dir.path() + "/port";
  auto collector = startCollector(options);
  ASSERT_TRUE(collector);
  const std::string origin = collector->origin();
  std::ifstream portFile(options.portFile);
  int writtenPort = 0;
  portFile >> writtenPort;
  EXPECT_EQ(writtenPort, collector->port());
  ASSERT_EQ(get(origin + "/collect?" + hitLine(requiredFields("event"))).status, 200);

  collector->stop();
  collector->stop();
  EXPECT_EQ(collector->port(), -1);
  EXPECT_NE(get(origin + "/stats").code, CURLE_OK);
  EXPECT_EQ(collector->stats().hits, 1u);  // what was recorded stays readable
  std::string error;
  EXPECT_FALSE(collector->start(error));
  EXPECT_FALSE(error.empty());
}

TEST(CollectorTest, StartFailsWithAReasonWhenThePortIsTaken) {
  auto first = startCollector();
  ASSERT_TRUE(first);
  CollectorOptions options;
  options.port = first->port();
  options.quiet = true;
  Collector second(options);
  std::string error;
  EXPECT_FALSE(second.start(error));
  EXPECT_NE(error.find(std::to_string(first->port())), std::string::npos) << error;
  EXPECT_EQ(get(first->origin() + "/stats").status, 200);
}

TEST(CollectorTest, StartFailsWhenTheRecordCannotBeOpened) {
  CollectorOptions options;
  options.outPath = "/nonexistent-directory/hits.jsonl";
  options.quiet = true;
  Collector collector(options);
  std::string error;
  EXPECT_FALSE(collector.start(error));
  EXPECT_NE(error.find("/nonexistent-directory/hits.jsonl"), std::string::npos);
}

}  // namespace
}  // namespace halden::collector

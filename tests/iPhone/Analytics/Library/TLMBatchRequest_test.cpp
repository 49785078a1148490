#include "TLMBatchRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ReferenceInflater.h"
#include "TLMFields.h"
#include "TLMRequestBuilder.h"

namespace {

// Hits and their lines as selection hands them over: one line per hit.
struct Batch {
  std::vector<TLMHitRecord> hits;
  std::vector<std::string> lines;

  void add(std::string line, bool plainHttp = false) {
    TLMHitRecord hit;
    if (plainHttp) hit.parameters.emplace(kTLMUseSecure, std::string("0"));
    hits.push_back(std::move(hit));
    lines.push_back(std::move(line));
  }
};

class TLMBatchRequestTest : public ::testing::Test {
 protected:
  TLMBatchRequest make(const Batch& batch) const {
    return TLMBatchRequest::make(batch.hits, batch.lines, settings_, builder_);
  }

  TLMBatchRequest::Settings settings_{"http://plain/collect", "https://secure/collect",
                                      "http://plain/batch", "https://secure/batch"};
  TLMRequestBuilder builder_;
};

TEST_F(TLMBatchRequestTest, OneHitGoesToTheOneHitEndpointAsAGetUntilItsLineIsLong) {
  Batch secure;
  secure.add("t=event&ea=a");
  TLMBatchRequest request = make(secure);
  ASSERT_TRUE(request.request());
  EXPECT_EQ(request.request()->method, "GET");
  EXPECT_EQ(request.request()->url, "https://secure/collect?t=event&ea=a");
  EXPECT_EQ(request.hits().size(), 1u);

  Batch plain;
  plain.add("t=event", /*plainHttp=*/true);
  EXPECT_EQ(make(plain).request()->url, "http://plain/collect?t=event");

  // A line of 2,000 bytes or more goes in an uncompressed body instead.
  for (size_t size : {TLMBatchRequest::kGetLimit - 1, TLMBatchRequest::kGetLimit}) {
    Batch one;
    one.add("t=" + std::string(size - 2, 'x'));
    const auto made = make(one).request();
    ASSERT_TRUE(made);
    const bool get = size < TLMBatchRequest::kGetLimit;
    EXPECT_EQ(made->method, get ? "GET" : "POST") << size;
    if (get) continue;
    EXPECT_EQ(made->url, "https://secure/collect");
    EXPECT_EQ(made->valueForHTTPHeaderField("Content-Encoding"), std::nullopt);
    EXPECT_EQ(std::string(made->body.begin(), made->body.end()), one.lines[0]);
  }
}

TEST_F(TLMBatchRequestTest, SeveralHitsGoToTheBatchEndpointCompressedOneLineEach) {
  Batch batch;
  batch.add("t=a", true);
  batch.add("", true);  // encodes to nothing: no line, but sent with the batch
  batch.add("t=" + std::string(9000, 'x'), true);  // over the hit size: left out the same way
  batch.add("t=b", true);
  const TLMBatchRequest request = make(batch);
  ASSERT_TRUE(request.request());
  EXPECT_EQ(request.request()->method, "POST");
  EXPECT_EQ(request.request()->url, "http://plain/batch");
  EXPECT_EQ(request.request()->valueForHTTPHeaderField("Content-Encoding"), "gzip");
  EXPECT_EQ(ReferenceInflater::inflate(request.request()->body, ReferenceInflater::Wrapper::Gzip),
            "t=a\nt=b");
  EXPECT_EQ(request.hits().size(), 4u) << "every hit is deleted with its batch";
  EXPECT_EQ(request.unsent(), 2u);

  settings_.compression = TLMCompressionNone;
  const auto plain = make(batch).request();
  EXPECT_EQ(std::string(plain->body.begin(), plain->body.end()), "t=a\nt=b");
}

TEST_F(TLMBatchRequestTest, APayloadOrBodyOverTheLimitHasNoRequest) {
  Batch batch;
  batch.add("t=" + std::string(98, 'a'));
  batch.add("t=" + std::string(98, 'b'));
  settings_.maxBodySize = 200;  // the payload is 201 bytes
  TLMBatchRequest request = make(batch);
  EXPECT_FALSE(request.request());
  EXPECT_EQ(request.takeHits().size(), 2u) << "the hits are still the batch's, to delete";

  // A payload that fits and a compressed body that does not: random-looking
  // text gains the gzip wrapper and loses nothing.
  Batch dense;
  dense.add("t=0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
  dense.add("t=ZYXWVUTSRQPONMLKJIHGFEDCBAzyxwvutsrqponmlkjihgfedcba9876543210");
  settings_.maxBodySize = dense.lines[0].size() * 2 + 1;
  EXPECT_FALSE(make(dense).request());

  settings_.maxBodySize = 0;  // no limit
  settings_.maxHitSize = 0;
  batch.add("t=" + std::string(50000, 'c'));
  EXPECT_TRUE(make(batch).request());
}

}  // namespace

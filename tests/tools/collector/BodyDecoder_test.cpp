#include "tools/collector/BodyDecoder.h"

#include <gtest/gtest.h>

#include "CollectorTestClient.h"

namespace halden::collector {
namespace {

using collector_test::gzip;
using collector_test::rawDeflate;
using collector_test::zlibDeflate;
using Status = BodyDecoder::Status;

constexpr std::size_t kLimit = 1 << 20;
const std::string kPayload =
    "v=1&tid=UA-1&cid=c1&t=event&ec=caf%C3%A9\nv=1&tid=UA-1&cid=c1&t=screenview&cd=Home";

TEST(BodyDecoderTest, DecodesEveryCodingAClientMaySend) {
  EXPECT_EQ(BodyDecoder::decode("gzip", gzip(kPayload), kLimit).body, kPayload);
  EXPECT_EQ(BodyDecoder::decode("x-gzip", gzip(kPayload), kLimit).body, kPayload);
  EXPECT_EQ(BodyDecoder::decode("deflate", zlibDeflate(kPayload), kLimit).body, kPayload);
  // Some senders put raw deflate data under "deflate".
  EXPECT_EQ(BodyDecoder::decode("deflate", rawDeflate(kPayload), kLimit).body, kPayload);
  EXPECT_EQ(BodyDecoder::decode("", kPayload, kLimit).body, kPayload);
  EXPECT_EQ(BodyDecoder::decode(" Identity ", kPayload, kLimit).body, kPayload);
  EXPECT_EQ(BodyDecoder::decode(" GZIP ", gzip(kPayload), kLimit).body, kPayload);
}

TEST(BodyDecoderTest, UndoesListedCodingsLastFirst) {
  const auto twice = BodyDecoder::decode("deflate, gzip", gzip(zlibDeflate(kPayload)), kLimit);
  ASSERT_EQ(twice.status, Status::kOk) << twice.error;
  EXPECT_EQ(twice.body, kPayload);
}

TEST(BodyDecoderTest, ReadsConcatenatedGzipMembers) {
  const auto result = BodyDecoder::decode("gzip", gzip("first\n") + gzip("second"), kLimit);
  ASSERT_EQ(result.status, Status::kOk) << result.error;
  EXPECT_EQ(result.body, "first\nsecond");
}

TEST(BodyDecoderTest, EmptyBodyIsEmptyWhateverTheCoding) {
  for (const char* coding : {"", "gzip", "deflate"}) {
    const auto result = BodyDecoder::decode(coding, "", kLimit);
    EXPECT_EQ(result.status, Status::kOk) << coding;
    EXPECT_EQ(result.body, "");
  }
}

TEST(BodyDecoderTest, RejectsTruncatedStreams) {
  const std::string whole = gzip(kPayload);
  for (std::size_t cut : {std::size_t{1}, std::size_t{10}, whole.size() / 2, whole.size() - 1}) {
    const auto result = BodyDecoder::decode("gzip", whole.substr(0, cut), kLimit);
    EXPECT_EQ(result.status, Status::kCorrupt) << "cut at " << cut;
    EXPECT_FALSE(result.error.empty());
  }
  const std::string deflated = zlibDeflate(kPayload);
  EXPECT_EQ(BodyDecoder::decode("deflate", deflated.substr(0, deflated.size() - 3), kLimit).status,
            Status::kCorrupt);
}

TEST(BodyDecoderTest, RejectsGarbageAndTrailingBytes) {
  EXPECT_EQ(BodyDecoder::decode("gzip", "this is not compressed at all", kLimit).status,
            Status::kCorrupt);
  EXPECT_EQ(BodyDecoder::decode("gzip", kPayload, kLimit).status, Status::kCorrupt);
  EXPECT_EQ(BodyDecoder::decode("deflate", std::string(64, '\xff'), kLimit).status,
            Status::kCorrupt);

  const auto trailing = BodyDecoder::decode("gzip", gzip(kPayload) + "junk", kLimit);
  EXPECT_EQ(trailing.status, Status::kCorrupt);
  EXPECT_NE(trailing.error.find("after the end"), std::string::npos) << trailing.error;
  EXPECT_EQ(BodyDecoder::decode("deflate", zlibDeflate(kPayload) + "x", kLimit).status,
            Status::kCorrupt);

  // A gzip stream claimed as zlib is not silently accepted.
  EXPECT_EQ(BodyDecoder::inflate(gzip(kPayload), BodyDecoder::Format::kZlib, kLimit).status,
            Status::kCorrupt);
}

TEST(BodyDecoderTest, RefusesUnknownCodings) {
  const auto result = BodyDecoder::decode("br", "abc", kLimit);
  EXPECT_EQ(result.status, Status::kUnsupportedEncoding);
  EXPECT_NE(result.error.find("br"), std::string::npos);
  EXPECT_EQ(BodyDecoder::decode("gzip, compress", "abc", kLimit).status,
            Status::kUnsupportedEncoding);
}

TEST(BodyDecoderTest, StopsAtTheSizeLimit) {
  // A small body that inflates to far more than the limit.
  const std::string bomb = gzip(std::string(8 << 20, 'a'));
  ASSERT_LT(bomb.size(), 64u << 10);
  EXPECT_EQ(BodyDecoder::decode("gzip", bomb, 1 << 20).status, Status::kTooLarge);
  EXPECT_EQ(BodyDecoder::decode("", std::string(100, 'a'), 99).status, Status::kTooLarge);
  EXPECT_EQ(BodyDecoder::decode("gzip", gzip(std::string(100, 'a')), 100).status, Status::kOk);
}

TEST(BodyDecoderTest, DecodesBodiesLargerThanOneChunk) {
  std::string big;
  for (int i = 0; big.size() < 300000; ++i)
    big += "v=1&tid=UA-1&cid=c&t=event&ev=" + std::to_string(i) + "\n";
  const auto result = BodyDecoder::decode("gzip", gzip(big), kLimit);
  ASSERT_EQ(result.status, Status::kOk) << result.error;
  EXPECT_EQ(result.body, big);
}

}  // namespace
}  // namespace halden::collector

#include "TLMCompressionUtil.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ReferenceInflater.h"
#include "support/TestSupport.h"

namespace {

using Data = TLMCompressionUtil::Data;
using Wrapper = ReferenceInflater::Wrapper;

Data bytesOf(const std::string& text) {
  return Data(text.begin(), text.end());
}

// Bytes that deflate cannot shrink, so that both directions take many
// 1024-byte steps.
Data randomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Data out(n);
  for (auto& b : out)
    b = static_cast<uint8_t>(gen());
  return out;
}

// What the process writes to standard error (the console log) while alive.
class StderrCapture {
 public:
  StderrCapture() : path_(dir_.path() + "/stderr") {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    FILE* f = std::fopen(path_.c_str(), "w");
    ::dup2(::fileno(f), STDERR_FILENO);
    std::fclose(f);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    std::ifstream in(path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  testing_support::TempDir dir_;
  std::string path_;
  int saved_ = -1;
};

const std::vector<std::string>& sampleTexts() {
  static const std::vector<std::string> texts = {
      "a",
      "v=1&t=event&ec=video&ea=play&cid=35009a79&ht=1700000000000",
      std::string(100000, 'x'),  // inflates in many steps from a tiny input
      "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\n\n",
  };
  return texts;
}

TEST(TLMCompressionUtil, EmptyOrMissingInputGivesNothing) {
  const Data empty;
  const char byte = 'x';
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByGzippingData(empty));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByGzippingData(empty, 5));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByDeflatingData(empty));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByDeflatingData(empty, 5));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByRawDeflatingData(empty));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByRawDeflatingData(empty, 5));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingData(empty));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByRawInflatingData(empty));

  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByGzippingBytes(&byte, 0));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByGzippingBytes(&byte, 0, 9));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByDeflatingBytes(&byte, 0));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByDeflatingBytes(&byte, 0, 9));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByRawDeflatingBytes(&byte, 0));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByRawDeflatingBytes(&byte, 0, 9));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingBytes(&byte, 0));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByRawInflatingBytes(&byte, 0));

  EXPECT_FALSE(
      TLMCompressionUtil::tlm_dataByCompressingBytes(nullptr, 10, -1, TLMCompressionModeGzip));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingBytes(nullptr, 10, false));
}

TEST(TLMCompressionUtil, InputBeyondZlibsCounterIsRefusedUnread) {
  // The length is checked before anything is read, so one real byte will do.
  const char byte = 'x';
  const uint64_t tooLong = uint64_t{std::numeric_limits<uint32_t>::max()} + 1;
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByGzippingBytes(&byte, tooLong));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByDeflatingBytes(&byte, tooLong));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByRawDeflatingBytes(&byte, tooLong));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingBytes(&byte, tooLong));
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByRawInflatingBytes(&byte, tooLong));
}

TEST(TLMCompressionUtil, EveryWrapperRoundTripsAndZlibReadsIt) {
  for (const auto& text : sampleTexts()) {
    const Data input = bytesOf(text);
    SCOPED_TRACE(text.substr(0, 40));

    auto gzip = TLMCompressionUtil::tlm_dataByGzippingData(input);
    ASSERT_TRUE(gzip);
    EXPECT_EQ(ReferenceInflater::inflate(*gzip, Wrapper::Gzip), text);
    EXPECT_EQ(TLMCompressionUtil::tlm_dataByInflatingData(*gzip), input);

    auto zlib = TLMCompressionUtil::tlm_dataByDeflatingData(input);
    ASSERT_TRUE(zlib);
    EXPECT_EQ(ReferenceInflater::inflate(*zlib, Wrapper::Zlib), text);
    EXPECT_EQ(TLMCompressionUtil::tlm_dataByInflatingData(*zlib), input);

    auto raw = TLMCompressionUtil::tlm_dataByRawDeflatingData(input);
    ASSERT_TRUE(raw);
    EXPECT_EQ(ReferenceInflater::inflate(*raw, Wrapper::Raw), text);
    EXPECT_EQ(TLMCompressionUtil::tlm_dataByRawInflatingData(*raw), input);
  }
}

// A thread keeps its compression state between calls: whatever it
// compressed before, the bytes are those of a thread compressing for the
// first time.
TEST(TLMCompressionUtil, EarlierCallsOnAThreadDoNotChangeItsOutput) {
  const Data input = bytesOf(sampleTexts().back());
  const auto all = [&] {
    std::vector<std::optional<Data>> out;
    for (int32_t level : {-1, 1, 9}) {
      out.push_back(TLMCompressionUtil::tlm_dataByGzippingData(input, level));
      out.push_back(TLMCompressionUtil::tlm_dataByDeflatingData(input, level));
      out.push_back(TLMCompressionUtil::tlm_dataByRawDeflatingData(input, level));
    }
    return out;
  };
  std::vector<std::optional<Data>> fresh;
  std::thread([&] { fresh = all(); }).join();
  (void)TLMCompressionUtil::tlm_dataByGzippingData(bytesOf(std::string(100000, 'x')));
  EXPECT_EQ(all(), fresh);
  EXPECT_EQ(all(), fresh);
}

TEST(TLMCompressionUtil, IncompressibleDataRoundTripsThroughManySteps) {
  const Data input = randomBytes(300000, 7);
  auto gzip = TLMCompressionUtil::tlm_dataByGzippingBytes(input.data(), input.size());
  ASSERT_TRUE(gzip);
  EXPECT_GT(gzip->size(), input.size());  // stored blocks plus the wrapper
  EXPECT_EQ(TLMCompressionUtil::tlm_dataByInflatingBytes(gzip->data(), gzip->size()), input);
  auto raw = TLMCompressionUtil::tlm_dataByRawDeflatingBytes(input.data(), input.size(), 9);
  ASSERT_TRUE(raw);
  EXPECT_EQ(TLMCompressionUtil::tlm_dataByRawInflatingBytes(raw->data(), raw->size()), input);
}

TEST(TLMCompressionUtil, EachModeWritesItsOwnWrapper) {
  const Data input = bytesOf("hello, hello, hello");
  auto gzip = TLMCompressionUtil::tlm_dataByGzippingData(input);
  auto zlib = TLMCompressionUtil::tlm_dataByDeflatingData(input);
  auto raw = TLMCompressionUtil::tlm_dataByRawDeflatingData(input);
  ASSERT_TRUE(gzip && zlib && raw);

  EXPECT_EQ((*gzip)[0], 0x1f);
  EXPECT_EQ((*gzip)[1], 0x8b);
  EXPECT_EQ((*gzip)[2], 8);  // deflate
  // A zlib header: deflate with a 32 KiB window, and a check value that
  // makes the first two bytes a multiple of 31.
  EXPECT_EQ((*zlib)[0], 0x78);
  EXPECT_EQ((((*zlib)[0] << 8) | (*zlib)[1]) % 31, 0);
  EXPECT_FALSE((*raw)[0] == 0x1f && (*raw)[1] == 0x8b);
  EXPECT_NE((*raw)[0], 0x78);

  // The wrappers are not interchangeable.
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingData(*raw));
  EXPECT_EQ(ReferenceInflater::inflate(*gzip, Wrapper::Zlib), std::nullopt);
}

TEST(TLMCompressionUtil, ModesOtherThanGzipAndRawMeanZlib) {
  const Data input = bytesOf("some payload some payload");
  auto zlib = TLMCompressionUtil::tlm_dataByDeflatingData(input);
  for (int32_t mode : {0, 3, -1, 99}) {
    EXPECT_EQ(TLMCompressionUtil::tlm_dataByCompressingBytes(input.data(), input.size(), -1,
                                                             static_cast<TLMCompressionMode>(mode)),
              zlib)
        << mode;
  }
}

TEST(TLMCompressionUtil, LevelsAreClampedToOneThroughNine) {
  // zlib records the level class in its header (second byte: 0x01 fastest,
  // 0x5e fast, 0x9c default, 0xda best) and gzip in its XFL byte (4 fastest,
  // 2 best, 0 otherwise).
  const Data input = bytesOf(std::string(5000, 'a') + "bcd" + std::string(5000, 'e'));
  auto zlibAt = [&](int32_t level) {
    return *TLMCompressionUtil::tlm_dataByDeflatingData(input, level);
  };
  auto gzipAt = [&](int32_t level) {
    return *TLMCompressionUtil::tlm_dataByGzippingData(input, level);
  };
  EXPECT_EQ(zlibAt(0)[1], 0x01);
  EXPECT_EQ(zlibAt(-7)[1], 0x01);
  EXPECT_EQ(zlibAt(1)[1], 0x01);
  EXPECT_EQ(zlibAt(3)[1], 0x5e);
  EXPECT_EQ(zlibAt(-1)[1], 0x9c);
  EXPECT_EQ(zlibAt(9)[1], 0xda);
  EXPECT_EQ(zlibAt(12)[1], 0xda);
  EXPECT_EQ(zlibAt(0), zlibAt(1));
  EXPECT_EQ(zlibAt(12), zlibAt(9));
  EXPECT_EQ(zlibAt(-1), *TLMCompressionUtil::tlm_dataByDeflatingData(input));

  EXPECT_EQ(gzipAt(0)[8], 4);
  EXPECT_EQ(gzipAt(12)[8], 2);
  EXPECT_EQ(gzipAt(-1)[8], 0);
  EXPECT_EQ(*TLMCompressionUtil::tlm_dataByRawDeflatingData(input, 0),
            *TLMCompressionUtil::tlm_dataByRawDeflatingData(input, 1));
}

TEST(TLMCompressionUtil, TruncatedStreamsAreRefused) {
  const Data input = randomBytes(5000, 3);
  auto gzip = *TLMCompressionUtil::tlm_dataByGzippingData(input);
  auto zlib = *TLMCompressionUtil::tlm_dataByDeflatingData(input);
  auto raw = *TLMCompressionUtil::tlm_dataByRawDeflatingData(input);
  for (size_t cut : {size_t{1}, size_t{4}, size_t{100}}) {
    EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingBytes(gzip.data(), gzip.size() - cut));
    EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingBytes(zlib.data(), zlib.size() - cut));
    EXPECT_FALSE(TLMCompressionUtil::tlm_dataByRawInflatingBytes(raw.data(), raw.size() - cut));
  }
  StderrCapture log;
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingBytes(gzip.data(), gzip.size() / 2));
  EXPECT_NE(log.text().find("Error trying to inflate some of the payload, error -5: "),
            std::string::npos);
}

TEST(TLMCompressionUtil, TrailingBytesAreRefusedAndLogged) {
  const std::string text = "hit line one\nhit line two";
  for (auto wrapper : {Wrapper::Gzip, Wrapper::Zlib, Wrapper::Raw}) {
    Data stream =
        wrapper == Wrapper::Gzip   ? *TLMCompressionUtil::tlm_dataByGzippingData(bytesOf(text))
        : wrapper == Wrapper::Zlib ? *TLMCompressionUtil::tlm_dataByDeflatingData(bytesOf(text))
                                   : *TLMCompressionUtil::tlm_dataByRawDeflatingData(bytesOf(text));
    stream.insert(stream.end(), {'x', 'y', 'z'});
    StderrCapture log;
    auto out = wrapper == Wrapper::Raw ? TLMCompressionUtil::tlm_dataByRawInflatingData(stream)
                                       : TLMCompressionUtil::tlm_dataByInflatingData(stream);
    EXPECT_FALSE(out);
    EXPECT_NE(log.text().find("tfinished inflate w/o using all input, 3 bytes left"),
              std::string::npos);
  }
}

TEST(TLMCompressionUtil, CorruptStreamsAreRefusedWithZlibsReason) {
  {
    StderrCapture log;
    EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingData(bytesOf("plainly not a stream")));
    EXPECT_NE(log.text().find("Error trying to inflate some of the payload, error -3: "
                              "incorrect header check"),
              std::string::npos);
  }
  // A wrong checksum in the gzip trailer.
  auto gzip = *TLMCompressionUtil::tlm_dataByGzippingData(bytesOf("checked content"));
  gzip[gzip.size() - 6] ^= 0xff;
  EXPECT_FALSE(TLMCompressionUtil::tlm_dataByInflatingData(gzip));
}

TEST(TLMCompressionUtil, EmptyStreamInflatesToEmptyData) {
  // A complete stream of nothing is valid input with an empty result, which
  // is not the same answer as a failure.
  const Data emptyGzip = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  auto out = TLMCompressionUtil::tlm_dataByInflatingData(emptyGzip);
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->empty());
}

TEST(TLMCompressionUtil, ConcurrentCallersDoNotInterfere) {
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (unsigned t = 0; t < ok.size(); ++t) {
    threads.emplace_back([t, &ok] {
      bool good = true;
      for (int i = 0; i < 20; ++i) {
        const Data input = randomBytes(3000 + 100 * t, t * 100 + i);
        auto z = TLMCompressionUtil::tlm_dataByGzippingData(input);
        good = good && z && TLMCompressionUtil::tlm_dataByInflatingData(*z) == input;
      }
      ok[t] = good;
    });
  }
  for (auto& th : threads)
    th.join();
  for (unsigned t = 0; t < ok.size(); ++t)
    EXPECT_TRUE(ok[t]) << t;
}

}  // namespace

#include "tools/collector/HitRecorder.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "support/TestSupport.h"
#include "tools/collector/HitLineParser.h"

namespace halden::collector {
namespace {

RequestInfo requestTo(const std::string& path) {
  RequestInfo info;
  info.scheme = "http";
  info.method = "POST";
  info.path = path;
  info.status = 200;
  return info;
}

mode_t modeOf(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST(HitRecorderTest, ConsoleLinesShowClientControlsAsEscapes) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* console = open_memstream(&text, &size);
  ASSERT_NE(console, nullptr);
  {
    HitRecorder recorder({"", false, false, 10, console});
    std::string error;
    ASSERT_TRUE(recorder.open(error));
    const ParsedHit hit =
        HitLineParser::parse("v=1&tid=UA-1-1&cid=%1B%5B2J%1B%5D0%3Bowned%07%0D&t=ev%C2%9Bent");
    recorder.record(requestTo("/batch\x1b[1A"), {hit});
    recorder.flush();
  }
  std::fclose(console);
  const std::string line(text, size);
  std::free(text);

  EXPECT_NE(line.find("cid=\\x1b[2J\\x1b]0;owned\\x07\\x0d"), std::string::npos) << line;
  EXPECT_NE(line.find("t=ev\\xc2\\x9bent"), std::string::npos) << line;
  EXPECT_NE(line.find("/batch\\x1b[1A"), std::string::npos) << line;
  ASSERT_FALSE(line.empty());
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    EXPECT_FALSE(byte < 0x20 || byte == 0x7f) << "raw control at " << i << ": " << line;
  }
}

TEST(HitRecorderTest, TheRecordFileIsTheOwnersOnlyAndAnExistingOneKeepsItsMode) {
  testing_support::TempDir dir;
  const mode_t umaskWas = ::umask(022);
  for (const bool append : {false, true}) {
    const std::string path = dir.path() + (append ? "/appended.jsonl" : "/new.jsonl");
    HitRecorder recorder({path, append, true, 10, stdout});
    std::string error;
    ASSERT_TRUE(recorder.open(error)) << error;
    EXPECT_EQ(modeOf(path), 0600u) << path;
  }
  const std::string existing = dir.path() + "/existing.jsonl";
  std::ofstream(existing) << "{}\n";
  ::chmod(existing.c_str(), 0640);
  for (const bool append : {true, false}) {
    HitRecorder recorder({existing, append, true, 10, stdout});
    std::string error;
    ASSERT_TRUE(recorder.open(error)) << error;
    EXPECT_EQ(modeOf(existing), 0640u);
  }
  ::umask(umaskWas);
}

}  // namespace
}  // namespace halden::collector

// halden-app --headless as a script host drives it: one message per line on
// its standard input, answers read from its standard output, hits arriving
// at a collector in this process over HTTPS.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/CollectorHits.h"
#include "support/TestCertificates.h"
#include "support/TestSupport.h"
#include "tools/collector/Collector.h"

extern char** environ;

namespace {

using json = nlohmann::json;
using testing_support::paramOrAbsent;
using testing_support::waitFor;

// One run of the host: its input to write to, its answers as they come.
class HeadlessApp {
 public:
  HeadlessApp(const std::vector<std::string>& settings, const std::string& logFile) {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    // The settings replace variables of the same name (the test presets
    // point the origins at a closed port).
    std::vector<std::string> env = settings;
    for (char** e = environ; *e; ++e) {
      const std::string_view entry(*e);
      const std::string_view name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string& s : settings)
        replaced = replaced || s.starts_with(name);
      if (!replaced) env.emplace_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& s : env)
      envp.push_back(s.data());
    envp.push_back(nullptr);
    char program[] = HALDEN_APP_PROGRAM;
    char headless[] = "--headless";
    char* argv[] = {program, headless, nullptr};
    EXPECT_EQ(posix_spawn(&pid_, program, &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { readAnswers(fd); });
  }
  ~HeadlessApp() {
    closeInput();
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
  }

  void send(const std::string& line) {
    const std::string data = line + "\n";
    for (std::size_t done = 0; done < data.size();) {
      const ssize_t n = ::write(input_, data.data() + done, data.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
  }
  void command(const std::string& id, const std::string& action, const json& args) {
    send(json::array({id, "OmnistatPlugin", action, args}).dump());
  }
  void closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  // The exit status once the program has ended, -1 if it has not in time.
  int waitForExit() {
    int status = 0;
    const bool ended = waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                               std::chrono::seconds(30));
    if (!ended) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::map<std::string, json> answers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
  }
  std::size_t answerCount() { return answers().size(); }

 private:
  void readAnswers(int fd) {
    std::string buffer;
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
      buffer.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
        json answer = json::parse(buffer.substr(0, end));
        buffer.erase(0, end + 1);
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[answer["callbackId"]] = answer;
      }
    }
    ::close(fd);
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int input_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::map<std::string, json> answers_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(HeadlessHostTest, ABurstBadLinesAndEndOfInputLoseNothing) {
  testing_support::TempDir work;
  testing_support::TestCertificates certificates;
  auto collector = testing_support::startCollector(testing_support::httpsOptions(certificates));
  ASSERT_TRUE(collector);
  const std::vector<std::string> settings = {"HALDEN_LIBRARY_DIR=" + work.path() + "/Library",
                                             "HALDEN_HTTPS_ORIGIN=" + collector->httpsOrigin(),
                                             "HALDEN_HTTP_ORIGIN=" + collector->origin(),
                                             "HALDEN_CA_FILE=" + certificates.authorityFile()};
  const std::string log = work.path() + "/stderr.log";

  {
    HeadlessApp app(settings, log);
    // Lines a script host might get wrong, before and between good ones.
    app.send("this is not JSON");
    app.send("");
    app.send(R"(["bad-shape","OmnistatPlugin"])");
    app.send(R"(["bad-service","Elsewhere","trackView",["x"]])");
    app.send(R"(["bad-action","OmnistatPlugin","launchRockets",[]])");
    app.send("[\"bad-utf8\",\"OmnistatPlugin\",\"setUserId\",[\"\xff\xfe\"]]");
    app.command("early", "trackView", {"Home"});
    app.command("start", "startTrackerWithId", {"UA-61-1", 0});
    ASSERT_TRUE(waitFor([&] { return app.answers().count("start") == 1; }));
    app.command("big", "getVar", {std::string(1 << 20, 'x')});
    // A burst: the tracker's bucket holds 60 hits; every command is answered.
    for (int i = 0; i < 61; ++i)
      app.command("view-" + std::to_string(i), "trackView", {"S" + std::to_string(i)});
    ASSERT_TRUE(waitFor([&] { return app.answerCount() == 68; })) << app.answerCount();
    app.command("dispatch", "dispatch", json::array());
    app.closeInput();
    EXPECT_EQ(app.waitForExit(), 0);

    const std::map<std::string, json> answers = app.answers();
    EXPECT_EQ(answers.at("bad-shape")["status"], 8);
    EXPECT_EQ(answers.at("bad-service")["status"], 2);
    EXPECT_EQ(answers.at("bad-action")["status"], 7);
    EXPECT_EQ(answers.at("bad-utf8")["status"], 8);
    EXPECT_EQ(answers.at("early")["message"], "Tracker not started");
    EXPECT_EQ(answers.at("big")["status"], 1);
    for (int i = 0; i < 61; ++i)
      EXPECT_EQ(answers.at("view-" + std::to_string(i))["status"], 1);
    EXPECT_EQ(answers.count("dispatch"), 0u);
  }
  EXPECT_NE(readFile(log).find("not JSON"), std::string::npos) << readFile(log);

  // The host sent what was pending before it exited; a second run over the
  // same store starts with nothing left to send again.
  EXPECT_EQ(testing_support::receivedHits(*collector).size(), 60u) << readFile(log);
  {
    HeadlessApp app(settings, log);
    app.command("start", "startTrackerWithId", {"UA-61-1", 0});
    ASSERT_TRUE(waitFor([&] { return app.answers().count("start") == 1; }));
    app.closeInput();
    EXPECT_EQ(app.waitForExit(), 0);
  }
  EXPECT_EQ(testing_support::receivedHits(*collector).size(), 60u) << "nothing is sent twice";
  std::set<std::string> numbers, screens;
  std::map<std::string, std::set<std::string>> screensOfNumber;
  for (const json& hit : testing_support::receivedHits(*collector)) {
    screensOfNumber[paramOrAbsent(hit, "_s")].insert(paramOrAbsent(hit, "cd"));
    EXPECT_EQ(paramOrAbsent(hit, "t"), "screenview");
    numbers.insert(paramOrAbsent(hit, "_s"));
    screens.insert(paramOrAbsent(hit, "cd"));
  }
  EXPECT_EQ(numbers.size(), 60u) << "a burst of 61 leaves 60 hits, each once";
  // Background commands reach the tracker in any order: which one of the
  // 61 was throttled is not fixed.
  EXPECT_EQ(screens.size(), 60u) << "each view carries its own screen name";
  for (const auto& [number, names] : screensOfNumber) {
    EXPECT_EQ(names.size(), 1u) << "hit " << number << " was sent again with another screen";
  }
}

}  // namespace

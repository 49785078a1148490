// Runs the halden-collector program itself: start-up from the command line,
// the port file, the record file, the console lines and a clean stop on a
// signal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "CollectorTestClient.h"
#include "support/TestSupport.h"

extern char** environ;

namespace {

using namespace collector_test;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class Program {
 public:
  Program(std::vector<std::string> arguments, const std::string& stdoutFile) {
    arguments.insert(arguments.begin(), HALDEN_COLLECTOR_PROGRAM);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    started_ = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~Program() {
    if (started_ && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return started_; }
  void signal(int number) { kill(pid_, number); }

  // The exit status, or -1 when the program has not ended by the deadline.
  int waitForExit() {
    int status = 0;
    const bool ended =
        testing_support::waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  bool started_ = false;
  bool exited_ = false;
};

void runAndStopWith(int stopSignal) {
  testing_support::TempDir dir;
  const std::string portFile = dir.path() + "/port";
  const std::string outFile = dir.path() + "/hits.jsonl";
  const std::string console = dir.path() + "/console.txt";
  Program program({"--port", "0", "--out", outFile, "--port-file", portFile}, console);
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(testing_support::waitFor([&] { return !readFile(portFile).empty(); }));
  const std::string port = std::to_string(std::stoi(readFile(portFile)));
  const std::string origin = "http://127.0.0.1:" + port;

  const Params params = withExtra(requiredFields("screenview"), {{"cd", "Start Screen"}});
  ASSERT_EQ(post(origin + "/batch", gzip(hitLine(params)), "gzip").status, 200);
  const nlohmann::json stats = getJson(origin + "/stats");
  ASSERT_TRUE(stats.is_object());
  EXPECT_EQ(stats["hits"], 1);

  program.signal(stopSignal);
  EXPECT_EQ(program.waitForExit(), 0);

  std::ifstream record(outFile);
  std::string line;
  ASSERT_TRUE(std::getline(record, line));
  EXPECT_EQ(nlohmann::json::parse(line)["params"]["cd"], "Start Screen");
  EXPECT_FALSE(std::getline(record, line));

  const std::string output = readFile(console);
  EXPECT_NE(output.find("listening on " + origin), std::string::npos) << output;
  EXPECT_NE(output.find("t=screenview tid=UA-12345-1"), std::string::npos) << output;
  EXPECT_NE(output.find("stopped on"), std::string::npos) << output;
  EXPECT_NE(get(origin + "/stats").code, CURLE_OK);
}

TEST(CollectorProgramTest, StopsCleanlyOnSigterm) {
  runAndStopWith(SIGTERM);
}

TEST(CollectorProgramTest, StopsCleanlyOnSigint) {
  runAndStopWith(SIGINT);
}

TEST(CollectorProgramTest, QuietPrintsNoHitLines) {
  testing_support::TempDir dir;
  const std::string portFile = dir.path() + "/port";
  const std::string console = dir.path() + "/console.txt";
  Program program({"--quiet", "--port-file", portFile}, console);
  ASSERT_TRUE(testing_support::waitFor([&] { return !readFile(portFile).empty(); }));
  const std::string origin = "http://127.0.0.1:" + std::to_string(std::stoi(readFile(portFile)));
  ASSERT_EQ(get(origin + "/collect?" + hitLine(requiredFields("event"))).status, 200);
  program.signal(SIGTERM);
  EXPECT_EQ(program.waitForExit(), 0);
  const std::string output = readFile(console);
  EXPECT_EQ(output.find("t=event"), std::string::npos) << output;
  EXPECT_NE(output.find("listening on"), std::string::npos) << output;
}

TEST(CollectorProgramTest, HelpAndBadOptions) {
  testing_support::TempDir dir;
  const std::string console = dir.path() + "/console.txt";
  {
    Program help({"--help"}, console);
    EXPECT_EQ(help.waitForExit(), 0);
    EXPECT_NE(readFile(console).find("--port PORT"), std::string::npos);
  }
  {
    Program bad({"--port", "none"}, console);
    EXPECT_EQ(bad.waitForExit(), 2);
    EXPECT_NE(readFile(console).find("bad value \"none\" for --port"), std::string::npos);
  }
}

}  // namespace

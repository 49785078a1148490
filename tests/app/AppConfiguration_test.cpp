// The web application's configuration file: what the shell reads from it,
// what it refuses (and how the program says so), and what it prints back.

#include "AppConfiguration.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

// An application folder: the file as given, and a web folder with a page.
struct AppFolder {
  TempDir dir;
  explicit AppFolder(const std::string& config) {
    fs::create_directories(fs::path(dir.path()) / "www");
    std::ofstream(fs::path(dir.path()) / "www/index.html") << "<!doctype html>";
    if (!config.empty()) std::ofstream(fs::path(dir.path()) / "capacitor.config.json") << config;
  }
  fs::path file() const { return fs::path(dir.path()) / AppConfiguration::kFileName; }
};

TEST(AppConfigurationTest, EachFaultOfTheFileIsOneErrorNamingTheFileAndTheKey) {
  const struct {
    const char* config;
    const char* error;
  } cases[] = {
      {"", "cannot read it (no such file)"},
      {"{\"appId\": ", "not JSON (line 1, column 11"},
      {"[\"org.example.App\"]", "not a JSON object"},
      {R"({"webDir": "www"})", "\"appId\" is missing"},
      {R"({"appId": 7, "webDir": "www"})", "\"appId\" must be a string"},
      {R"({"appId": "notes", "webDir": "www"})", "\"appId\" \"notes\" is not a reverse-DNS"},
      {R"({"appId": "org.1example.App", "webDir": "www"})",
       "\"appId\" \"org.1example.App\" is not"},
      {R"({"appId": "org..App", "webDir": "www"})", "\"appId\" \"org..App\" is not"},
      {R"({"appId": "org.example/../App", "webDir": "www"})",
       "\"appId\" \"org.example/../App\" is not"},
      {R"({"appId": "org.example.App"})", "\"webDir\" is missing"},
      {R"({"appId": "org.example.App", "webDir": "dist"})", "\"webDir\" \"dist\" is not a folder"},
      {R"({"appId": "org.example.App", "webDir": "."})", "\"webDir\" \".\" has no index.html"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": []})",
       "\"linux\" must be an object"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"width": "wide"}})",
       "\"linux.width\" must be a whole number from 200 to 16384"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"height": 1e9}})",
       "\"linux.height\" must be a whole number"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"schemes": "x-notes"}})",
       "\"linux.schemes\" must be a list of URL schemes"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"schemes": ["x notes"]}})",
       "\"linux.schemes\" holds \"x notes\", which is not a URL scheme"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"schemes": ["HTTPS"]}})",
       "\"linux.schemes\" holds \"https\", which an application cannot take"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"title": "a\nb"}})",
       "\"linux.title\" holds a control character"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"version": "v2"}})",
       "\"linux.version\" \"v2\" is not a version"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"version": "1.0-"}})",
       "\"linux.version\" \"1.0-\" is not a version"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"inspector": "yes"}})",
       "\"linux.inspector\" must be true or false"},
      {R"({"appId": "org.example.App", "webDir": "www", "linux": {"icon": "none.svg"}})",
       "\"linux.icon\" \"none.svg\" is not a file"},
  };
  for (const auto& c : cases) {
    AppFolder app(c.config);
    const AppConfiguration::Loaded loaded = AppConfiguration::load(app.dir.path());
    EXPECT_FALSE(loaded.configuration) << c.config;
    EXPECT_EQ(loaded.error.rfind(app.file().string() + ": " + c.error, 0), 0u)
        << c.config << "\n  gave: " << loaded.error;
  }
}

TEST(AppConfigurationTest, DefaultsAreFilledInAndWhatPrintsReadsBackTheSame) {
  AppFolder app(R"({
    "appId": "org.example.Notes", "webDir": "www", "server": {"androidScheme": "https"},
    "plugins": {}, "sparkles": true,
    "linux": {"schemes": ["X-Notes", "x-notes", "notes+web"], "height": 500, "colour": "red"}})");
  const AppConfiguration::Loaded loaded = AppConfiguration::load(app.dir.path());
  ASSERT_TRUE(loaded.configuration) << loaded.error;
  const AppConfiguration& c = *loaded.configuration;
  EXPECT_EQ(c.appName, "Notes");
  EXPECT_EQ(c.title, "Notes");
  EXPECT_EQ(c.version, "1.0.0");
  EXPECT_EQ(c.width, 1100);
  EXPECT_EQ(c.height, 500);
  EXPECT_EQ(c.contentSecurityPolicy, AppConfiguration::kDefaultContentSecurityPolicy);
  EXPECT_FALSE(c.inspector);
  EXPECT_EQ(c.webDir, fs::canonical(fs::path(app.dir.path()) / "www"));
  EXPECT_EQ(c.schemes, (std::vector<std::string>{"x-notes", "notes+web"}));
  // Other platforms' keys pass quietly; nobody's keys are named.
  EXPECT_EQ(loaded.warnings,
            (std::vector<std::string>{
                app.file().string() + ": ignoring the unknown key \"sparkles\"",
                app.file().string() + ": ignoring the unknown key \"linux.colour\""}));

  EXPECT_TRUE(c.opens("x-notes://note/1"));
  EXPECT_TRUE(c.opens("NOTES+WEB:today"));
  EXPECT_FALSE(c.opens("x-notes-evil://note/1"));
  EXPECT_FALSE(c.opens("https://example.org/"));

  AppFolder again(c.toJson());
  const AppConfiguration::Loaded reread = AppConfiguration::load(again.dir.path());
  ASSERT_TRUE(reread.configuration) << reread.error;
  EXPECT_TRUE(reread.warnings.empty());
  EXPECT_EQ(reread.configuration->toJson(), c.toJson());
}

// The program: a bad file ends it with status 2 and its one message, and it
// writes nothing (no Library directory, no store).
TEST(AppConfigurationTest, TheProgramRefusesABadFileWithStatusTwoAndWritesNothing) {
  TempDir scratch;
  const fs::path library = fs::path(scratch.path()) / "Library";
  const auto run = [&](const std::string& args, std::string& output) {
    const std::string command = "HALDEN_LIBRARY_DIR='" + library.string() + "' XDG_DATA_HOME='" +
                                scratch.path() + "' '" + HALDEN_APP_PROGRAM + "' " + args +
                                " </dev/null 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    output.clear();
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe))
      output += buffer;
    const int status = pipe ? ::pclose(pipe) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string output;
  for (const char* config :
       {"", "not json", R"({"webDir": "www"})", R"({"appId": "shop", "webDir": "www"})"}) {
    AppFolder app(config);
    for (const char* mode : {"", "--headless", "--print-config"}) {
      EXPECT_EQ(run("--app '" + app.dir.path() + "' " + mode, output), 2) << config << mode;
      EXPECT_EQ(output.rfind("halden-app: " + app.file().string() + ": ", 0), 0u) << output;
      EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    }
  }
  EXPECT_EQ(run("--app", output), 2);
  EXPECT_NE(output.find("\"--app\" without a folder"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(library));
  EXPECT_EQ(fs::directory_iterator(scratch.path()), fs::directory_iterator());
  // Nor does a headless run that was asked nothing: no client is made.
  EXPECT_EQ(run("--headless", output), 0) << output;
  EXPECT_FALSE(fs::exists(library)) << output;

  AppFolder app(R"({"appId": "org.example.Notes", "appName": "Notes", "webDir": "www"})");
  ASSERT_EQ(run("--app '" + app.dir.path() + "' --print-config", output), 0) << output;
  EXPECT_NE(output.find("\"appId\": \"org.example.Notes\""), std::string::npos) << output;
  EXPECT_NE(output.find("\"contentSecurityPolicy\": \"default-src 'self';"), std::string::npos);
  EXPECT_FALSE(fs::exists(library));
}

}  // namespace

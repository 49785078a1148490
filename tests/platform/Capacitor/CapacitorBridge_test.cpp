// The native side of the hybrid framework's page bridge, with the
// application delegate in front of it: URL opens and web activities become
// the page's "appUrlOpen" events, kept for a page that does not listen yet.

#include "platform/Capacitor/CapacitorBridge.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AppDelegate.h"
#include "platform/UIKit/UIApplication.h"

namespace {

using json = nlohmann::json;

// The results the bridge sent, as the page receives them.
std::vector<json> results(const std::vector<std::string>& scripts) {
  std::vector<json> out;
  const std::string head = "window.Capacitor && window.Capacitor.fromNative(";
  for (const std::string& s : scripts) {
    EXPECT_EQ(s.rfind(head, 0), 0u) << s;
    out.push_back(json::parse(s.substr(head.size(), s.size() - head.size() - 2)));
  }
  return out;
}

// The delegate of an application that opens "x-halden-shop:" URLs.
std::shared_ptr<AppDelegate> shopDelegate() {
  AppConfiguration shop;
  shop.schemes = {"x-halden-shop"};
  return std::make_shared<AppDelegate>(shop);
}

std::string call(const std::string& id, const std::string& plugin, const std::string& method,
                 json options = json::object()) {
  return json({{"type", "message"},
               {"callbackId", id},
               {"pluginId", plugin},
               {"methodName", method},
               {"options", options}})
      .dump();
}

TEST(CapacitorBridgeTest, UrlOpensReachListenersAndWaitForTheFirstOne) {
  std::vector<std::string> scripts;
  platform::CapacitorBridge bridge([&](const std::string& s) { scripts.push_back(s); });
  UIApplication app;
  app.setDelegate(shopDelegate());

  // Opened before the page listens: kept.
  EXPECT_TRUE(app.openURL("x-halden-shop://product/mug?utm_source=cold", {}));
  EXPECT_TRUE(scripts.empty());
  bridge.receive(call("7", "App", "addListener", {{"eventName", "appUrlOpen"}}));
  bridge.receive(call("8", "App", "addListener", {{"eventName", "appUrlOpen"}}));
  // While listening: every listener hears it.
  bool restored = false;
  EXPECT_TRUE(app.continueUserActivity(
      {platform::kUserActivityTypeBrowsingWeb, "https://shop.example/cart"},
      [&](auto objects) { restored = !objects.has_value(); }));
  EXPECT_TRUE(restored) << "the restoration handler is called with nothing";
  EXPECT_FALSE(app.continueUserActivity({"com.example.other", std::nullopt}, nullptr));
  bridge.receive(
      call("9", "App", "removeListener", {{"eventName", "appUrlOpen"}, {"callbackId", "8"}}));
  EXPECT_TRUE(app.openURL("x-halden-shop://cart", {}));

  const std::vector<json> got = results(scripts);
  std::vector<std::pair<std::string, std::string>> events;
  for (const json& r : got) {
    if (r["methodName"] == "addListener") events.emplace_back(r["callbackId"], r["data"]["url"]);
    EXPECT_TRUE(r["success"].get<bool>());
  }
  EXPECT_EQ(events, (std::vector<std::pair<std::string, std::string>>{
                        {"7", "x-halden-shop://product/mug?utm_source=cold"},
                        {"7", "https://shop.example/cart"},
                        {"8", "https://shop.example/cart"},
                        {"7", "x-halden-shop://cart"}}));
  for (const json& r : got) {
    if (r["methodName"] == "addListener") {
      EXPECT_TRUE(r["save"].get<bool>()) << "kept for more";
    }
  }
}

TEST(CapacitorBridgeTest, MethodsAnswerAndStrangersAreRefused) {
  std::vector<std::string> scripts;
  platform::CapacitorBridge bridge([&](const std::string& s) { scripts.push_back(s); });
  UIApplication app;
  app.setDelegate(shopDelegate());
  bridge.receive(call("0", "App", "getLaunchUrl"));  // none yet
  app.openURL("x-halden-shop://product/tote", {});   // launched with it
  bridge.receive(call("1", "App", "getLaunchUrl"));
  bridge.receive(call("2", "App", "exitApp"));
  bridge.receive(call("3", "Camera", "getPhoto"));
  bridge.receive("not json");
  bridge.receive(call("-1", "App", "getState"));  // asks for no answer

  const std::vector<json> got = results(scripts);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0]["data"], json::object());
  EXPECT_EQ(got[1]["data"]["url"], "x-halden-shop://product/tote");
  EXPECT_FALSE(got[2]["success"].get<bool>());
  EXPECT_EQ(got[2]["error"]["message"], "\"App.exitApp()\" is not implemented on ios");
  EXPECT_FALSE(got[3]["success"].get<bool>());

  const std::string preamble = platform::CapacitorBridge::preamble("app://localhost");
  EXPECT_NE(preamble.find("window.WEBVIEW_SERVER_URL = \"app://localhost\""), std::string::npos);
  EXPECT_NE(preamble.find("\"PluginHeaders\""), std::string::npos);
}

TEST(CapacitorBridgeTest, OnlyTheApplicationsSchemesReachThePageAndFewAreKept) {
  std::vector<std::string> scripts;
  platform::CapacitorBridge bridge([&](const std::string& s) { scripts.push_back(s); });
  UIApplication app;
  app.setDelegate(shopDelegate());
  // Not the application's: refused, nothing kept for the page.
  EXPECT_FALSE(app.openURL("x-other-app://steal?token=1", {}));
  EXPECT_FALSE(app.openURL("file:///etc/passwd", {}));
  EXPECT_FALSE(app.openURL("javascript:alert(1)", {}));
  EXPECT_FALSE(app.openURL("x-halden-shop", {}));  // no scheme at all
  EXPECT_FALSE(
      app.openURL("x-halden-shop://" + std::string(AppConfiguration::kMaxURLBytes, 'a'), {}));
  // The scheme in any case; of those opened before anyone listens, the newest.
  const std::size_t opened = platform::CapacitorBridge::kMaxRetained + 3;
  for (std::size_t i = 0; i < opened; ++i)
    EXPECT_TRUE(app.openURL("X-Halden-Shop://product/" + std::to_string(i), {}));
  EXPECT_TRUE(scripts.empty());
  bridge.receive(call("1", "App", "addListener", {{"eventName", "appUrlOpen"}}));

  std::vector<std::string> heard;
  for (const json& r : results(scripts))
    heard.push_back(r["data"]["url"]);
  ASSERT_EQ(heard.size(), platform::CapacitorBridge::kMaxRetained);
  EXPECT_EQ(heard.front(), "X-Halden-Shop://product/3");
  EXPECT_EQ(heard.back(), "X-Halden-Shop://product/" + std::to_string(opened - 1));
}

}  // namespace

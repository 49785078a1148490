#include "TLMDictionaryBuilder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RecordingDispatcher.h"
#include "RecordingLogger.h"
#include "TLM.h"
#include "TLMFields.h"
#include "TLMUsageTracker.h"
#include "platform/Foundation/Date.h"
#include "support/TestSupport.h"

namespace {

using platform::Dictionary;
using platform::kNull;
using platform::Number;
using platform::Value;
using testing_support::text;

// Every builder test runs with a root whose logger records, so that bare
// warnings can be counted, and with an empty usage sequence.
class TLMDictionaryBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installRecordingDispatcher();
    logger_ = std::make_shared<RecordingLogger>();
    TLM::sharedInstance().setLogger(logger_);
    TLMUsageTracker::getUsageSequence();
  }

  int warnings(const std::string& message) { return logger_->count(TLMLogLevelWarning, message); }

  testing_support::TempLibraryDir library_;
  std::shared_ptr<RecordingLogger> logger_;
};

// --- Factories -------------------------------------------------------------

TEST_F(TLMDictionaryBuilderTest, AppViewAndScreenViewAreBothScreenViews) {
  EXPECT_EQ(TLMDictionaryBuilder::createAppView().build(),
            (Dictionary{{"&t", text("screenview")}}));
  EXPECT_EQ(TLMDictionaryBuilder::createScreenView().build(),
            (Dictionary{{"&t", text("screenview")}}));
}

TEST_F(TLMDictionaryBuilderTest, EventFieldsAndMissingArgumentsAsNullMarkers) {
  EXPECT_EQ(
      TLMDictionaryBuilder::createEventWithCategory("video", "play", std::nullopt, std::nullopt)
          .build(),
      (Dictionary{{"&t", text("event")},
                  {"&ec", text("video")},
                  {"&ea", text("play")},
                  {"&el", kNull},
                  {"&ev", kNull}}));
  auto valueOf = [](std::optional<Value> value) {
    return TLMDictionaryBuilder::createEventWithCategory("c", "a", "l", value).build().at("&ev");
  };
  EXPECT_EQ(valueOf(42), text("42"));
  EXPECT_EQ(valueOf(2.5), text("2.5"));
  // A value that is not a number, as a script may send it, is no value.
  EXPECT_EQ(valueOf(text("42")), Value(kNull));
  EXPECT_EQ(valueOf(Value(kNull)), Value(kNull));
}

TEST_F(TLMDictionaryBuilderTest, ExceptionFatalFlagIsOneOrZero) {
  EXPECT_EQ(TLMDictionaryBuilder::createExceptionWithDescription("boom", true).build(),
            (Dictionary{{"&t", text("exception")}, {"&exd", text("boom")}, {"&exf", text("1")}}));
  EXPECT_EQ(TLMDictionaryBuilder::createExceptionWithDescription(std::nullopt, false).build(),
            (Dictionary{{"&t", text("exception")}, {"&exd", kNull}, {"&exf", text("0")}}));
  EXPECT_EQ(TLMDictionaryBuilder::tlm_exceptionWithDescription("x", true).build(),
            TLMDictionaryBuilder::createExceptionWithDescription("x", true).build());
}

TEST_F(TLMDictionaryBuilderTest, ItemSocialTimingAndTransactionFields) {
  EXPECT_EQ(TLMDictionaryBuilder::createItemWithTransactionId("T1", "Shirt", "SKU1", "Apparel",
                                                              12.5, 3, "EUR")
                .build(),
            (Dictionary{{"&t", text("item")},
                        {"&ti", text("T1")},
                        {"&in", text("Shirt")},
                        {"&ic", text("SKU1")},
                        {"&iv", text("Apparel")},
                        {"&ip", text("12.5")},
                        {"&iq", text("3")},
                        {"&cu", text("EUR")}}));
  EXPECT_EQ(
      TLMDictionaryBuilder::createSocialWithNetwork("net", "like", std::nullopt).build(),
      (Dictionary{
          {"&t", text("social")}, {"&sn", text("net")}, {"&sa", text("like")}, {"&st", kNull}}));
  EXPECT_EQ(TLMDictionaryBuilder::createTimingWithCategory("load", 1500, "image", "hero").build(),
            (Dictionary{{"&t", text("timing")},
                        {"&utc", text("load")},
                        {"&utt", text("1500")},
                        {"&utv", text("image")},
                        {"&utl", text("hero")}}));
  EXPECT_EQ(TLMDictionaryBuilder::createTransactionWithId("T1", "Store", 30.5, 2, std::nullopt,
                                                          std::nullopt)
                .build(),
            (Dictionary{{"&t", text("transaction")},
                        {"&ti", text("T1")},
                        {"&ta", text("Store")},
                        {"&tr", text("30.5")},
                        {"&tt", text("2")},
                        {"&ts", kNull},
                        {"&cu", kNull}}));
}

TEST_F(TLMDictionaryBuilderTest, ValueConverters) {
  EXPECT_EQ(TLMDictionaryBuilder::valueForNumber(Value(Number(100))), text("100"));
  EXPECT_EQ(TLMDictionaryBuilder::valueForNumber(Value(Number(true))), text("1"));
  EXPECT_EQ(TLMDictionaryBuilder::valueForNumber(text("7")), Value(kNull));
  EXPECT_EQ(TLMDictionaryBuilder::valueForNumber(std::nullopt), Value(kNull));
  EXPECT_EQ(TLMDictionaryBuilder::valueForString("s"), text("s"));
  EXPECT_EQ(TLMDictionaryBuilder::valueForString(""), text(""));
  EXPECT_EQ(TLMDictionaryBuilder::valueForString(std::nullopt), Value(kNull));
}

// --- Usage sequence --------------------------------------------------------

TEST_F(TLMDictionaryBuilderTest, FactoriesRecordTheirCodes) {
  TLMDictionaryBuilder::createAppView();
  TLMDictionaryBuilder::createScreenView();
  TLMDictionaryBuilder::createEventWithCategory("c", "a", "l", 1);
  TLMDictionaryBuilder::createExceptionWithDescription("d", true);
  TLMDictionaryBuilder::createItemWithTransactionId("t", "n", "s", "c", 1, 1, "EUR");
  TLMDictionaryBuilder::createSocialWithNetwork("n", "a", "t");
  TLMDictionaryBuilder::createTimingWithCategory("c", 1, "n", "l");
  TLMDictionaryBuilder::createTransactionWithId("t", "a", 1, 1, 1, "EUR");
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), ".-9yhzkjg");
  TLMDictionaryBuilder::tlm_exceptionWithDescription("d", true);
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), "");
}

TEST_F(TLMDictionaryBuilderTest, OperationsRecordTheirCodesOrNothing) {
  TLMDictionaryBuilder builder;
  builder.set("v", "k");
  builder.setAll({});
  builder.get("k");
  builder.setCampaignParametersFromUrl("utm_source=x");
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), ".ABCD");

  builder.tlm_set("v", "k");
  builder.setProductAction(TLMEcommerceProductAction());
  builder.addProduct(TLMEcommerceProduct());
  builder.addProductImpression(TLMEcommerceProduct(), "l", "s");
  builder.addPromotion(TLMEcommercePromotion());
  builder.build();
  std::move(builder).build();
  EXPECT_EQ(TLMUsageTracker::getUsageSequence(), "");
}

// --- Fields ----------------------------------------------------------------

TEST_F(TLMDictionaryBuilderTest, SetStoresTheValueOrTheNullMarker) {
  TLMDictionaryBuilder builder;
  TLMDictionaryBuilder& chained = builder.set("start", kTLMSessionControl).set(std::nullopt, "&cs");
  EXPECT_EQ(&chained, &builder);
  EXPECT_EQ(builder.parameters(), (Dictionary{{"&sc", text("start")}, {"&cs", kNull}}));
  builder.set("end", kTLMSessionControl);
  EXPECT_EQ(builder.parameters().at("&sc"), text("end"));
  EXPECT_EQ(logger_->lines().size(), 0u);
}

TEST_F(TLMDictionaryBuilderTest, SetWithoutAKeyLogsAndChangesNothing) {
  TLMDictionaryBuilder builder;
  builder.set("v", "k").set("w", std::nullopt).tlm_set("x", std::nullopt);
  EXPECT_EQ(builder.parameters(), (Dictionary{{"k", text("v")}}));
  EXPECT_EQ(warnings("nil key not allowed in setString"), 2);
}

TEST_F(TLMDictionaryBuilderTest, SetAllCopiesStringsAndNullMarkersAndSkipsOtherKinds) {
  TLMDictionaryBuilder builder = TLMDictionaryBuilder::createScreenView();
  builder.set("old", "&cd1");
  builder.setAll({{"&cd1", text("new")},
                  {"&cs", kNull},
                  {"&ev", Value(Number(3))},
                  {"timestamp", Value(platform::Date::now())}});
  EXPECT_EQ(builder.parameters(),
            (Dictionary{{"&t", text("screenview")}, {"&cd1", text("new")}, {"&cs", kNull}}));
  EXPECT_EQ(warnings("Unexpected value type: Number"), 1);
  EXPECT_EQ(warnings("Unexpected value type: Date"), 1);
  for (const auto& line : logger_->lines())
    EXPECT_EQ(line.message.rfind("Unexpected", 0), 0u);
}

TEST_F(TLMDictionaryBuilderTest, GetAnswersStringsAndWarnsAboutAnythingElse) {
  TLMDictionaryBuilder builder;
  builder.set("Home", "&cd").set(std::nullopt, "&cs");
  EXPECT_EQ(builder.get("&cd"), "Home");
  EXPECT_EQ(builder.get("&cs"), std::nullopt);
  EXPECT_EQ(logger_->lines().size(), 0u);

  EXPECT_EQ(builder.get("&never"), std::nullopt);
  EXPECT_EQ(warnings("Unexpected type in Builder: (null)"), 1);

  builder.setParameters({{"&ev", Value(Number(5))}});
  EXPECT_EQ(builder.get("&ev"), std::nullopt);
  EXPECT_EQ(warnings("Unexpected type in Builder: Number"), 1);
}

// --- Campaign parameters ---------------------------------------------------

const char* const kCampaignKeys[] = {"&gclid", "&dclid", "&gmob_t", "&cs",    "&cm",  "&cn",
                                     "&ck",    "&cc",    "&ci",     "&aclid", "&anid"};

Dictionary campaignFrom(std::optional<std::string_view> text) {
  TLMDictionaryBuilder builder;
  builder.setCampaignParametersFromUrl(text);
  return builder.build();
}

// The eleven keys, null markers except where `values` says otherwise.
Dictionary campaign(const Dictionary& values) {
  Dictionary expected;
  for (const char* key : kCampaignKeys)
    expected.emplace(key, kNull);
  for (const auto& [key, value] : values)
    expected.insert_or_assign(key, value);
  return expected;
}

TEST_F(TLMDictionaryBuilderTest, CampaignFromAUrl) {
  EXPECT_EQ(campaignFrom("https://example.com/landing?utm_source=news&utm_medium=email"),
            campaign({{"&cs", text("news")}, {"&cm", text("email")}}));
}

TEST_F(TLMDictionaryBuilderTest, CampaignFromABareQueryIsDecoded) {
  EXPECT_EQ(campaignFrom("utm_campaign=spring%20sale"), campaign({{"&cn", text("spring sale")}}));
  EXPECT_EQ(campaignFrom("utm_campaign=spring+sale"), campaign({{"&cn", text("spring sale")}}));
  // Nothing after the "?" also means the whole text is the query.
  EXPECT_EQ(campaignFrom("utm_id=7?"), campaign({{"&ci", text("7?")}}));
}

TEST_F(TLMDictionaryBuilderTest, AllElevenPairsAreIndependent) {
  EXPECT_EQ(campaignFrom("app://open?gclid=g&dclid=d&gmob_t=m&utm_source=s&utm_medium=me"
                         "&utm_campaign=c&utm_term=t&utm_content=co&utm_id=i&aclid=a&anid=n"
                         "&other=ignored"),
            campaign({{"&gclid", text("g")},
                      {"&dclid", text("d")},
                      {"&gmob_t", text("m")},
                      {"&cs", text("s")},
                      {"&cm", text("me")},
                      {"&cn", text("c")},
                      {"&ck", text("t")},
                      {"&cc", text("co")},
                      {"&ci", text("i")},
                      {"&aclid", text("a")},
                      {"&anid", text("n")}}));
}

TEST_F(TLMDictionaryBuilderTest, NoTextOrNoCampaignNamesStoresElevenNullMarkers) {
  EXPECT_EQ(campaignFrom(std::nullopt), campaign({}));
  EXPECT_EQ(campaignFrom(""), campaign({}));
  EXPECT_EQ(campaignFrom("https://example.com/plain"), campaign({}));
  // Existing fields of those keys are replaced too: a null marker hides the
  // tracker's campaign for this hit.
  TLMDictionaryBuilder builder;
  builder.set("old", "&cs").set("Home", "&cd").setCampaignParametersFromUrl("?utm_medium=m");
  EXPECT_EQ(builder.parameters().at("&cs"), Value(kNull));
  EXPECT_EQ(builder.parameters().at("&cm"), text("m"));
  EXPECT_EQ(builder.parameters().at("&cd"), text("Home"));
}

TEST_F(TLMDictionaryBuilderTest, HostileCampaignTextIsReadAsFarAsItGoes) {
  // Several "?": the query starts after the first.
  EXPECT_EQ(campaignFrom("x?y?utm_source=a?b"), campaign({}));
  EXPECT_EQ(campaignFrom("x?utm_source=a?b&utm_term=?"),
            campaign({{"&cs", text("a?b")}, {"&ck", text("?")}}));
  // Malformed escapes keep their raw text.
  EXPECT_EQ(campaignFrom("?utm_source=100%&utm_medium=%zz&utm_term=%4"),
            campaign({{"&cs", text("100%")}, {"&cm", text("%zz")}, {"&ck", text("%4")}}));
  // Escapes that decode to invalid UTF-8, and raw invalid bytes.
  EXPECT_EQ(campaignFrom("?utm_source=%FF%FE&utm_medium=\xC3\x28"),
            campaign({{"&cs", text("%FF%FE")}, {"&cm", text("\xC3\x28")}}));
  // Duplicates: the later wins.
  EXPECT_EQ(campaignFrom("?utm_source=first&utm_source=second"),
            campaign({{"&cs", text("second")}}));
  // Empty components, names without "=", an encoded name.
  EXPECT_EQ(campaignFrom("?&&utm_source&=x&utm%5Fmedium=encoded"),
            campaign({{"&cs", text("")}, {"&cm", text("encoded")}}));
  // Everything after the first "?" is the query, a "#..." included.
  EXPECT_EQ(campaignFrom("https://e.com/?utm_source=news#top"),
            campaign({{"&cs", text("news#top")}}));
  EXPECT_EQ(campaignFrom("https://e.com/?utm_medium=m#/shop&utm_source=web"),
            campaign({{"&cm", text("m#/shop")}, {"&cs", text("web")}}));
  EXPECT_EQ(campaignFrom("index.html#/shop?utm_source=web"), campaign({{"&cs", text("web")}}));
  // Embedded NUL bytes are just bytes.
  EXPECT_EQ(campaignFrom(std::string_view("?utm_source=a\0b", 15)),
            campaign({{"&cs", text(std::string("a\0b", 3))}}));
}

TEST_F(TLMDictionaryBuilderTest, AMegabyteQueryIsReadToTheEnd) {
  std::string url = "https://example.com/?";
  while (url.size() < (1u << 20))
    url += "junk" + std::to_string(url.size()) + "=%41%42&";
  url += "utm_source=" + std::string(1000, 'z') + "&utm_source=last";
  EXPECT_EQ(campaignFrom(url), campaign({{"&cs", text("last")}}));

  std::string oneValue = "?utm_term=" + std::string(1u << 20, 'q');
  EXPECT_EQ(campaignFrom(oneValue).at("&ck"), text(std::string(1u << 20, 'q')));
}

// --- Ecommerce and build ---------------------------------------------------

TEST_F(TLMDictionaryBuilderTest, ProductActionFieldsWinOverPlainFields) {
  TLMEcommerceProductAction action;
  action.setAction("purchase").setTransactionId("from-action");
  TLMDictionaryBuilder builder = TLMDictionaryBuilder::createScreenView();
  builder.set("plain", kTLMTransactionId).set("kept", kTLMTransactionAffiliation);
  builder.setProductAction(action);
  EXPECT_EQ(builder.build(), (Dictionary{{"&t", text("screenview")},
                                         {"&pa", text("purchase")},
                                         {"&ti", text("from-action")},
                                         {"&ta", text("kept")}}));
  builder.setProductAction(std::nullopt);
  EXPECT_EQ(builder.build().at("&ti"), text("plain"));
}

TEST_F(TLMDictionaryBuilderTest, ProductsAndPromotionsAreNumberedFromOne) {
  TLMEcommerceProduct first;
  first.setId("P1").setName("Shirt").setPrice(12.5);
  TLMEcommerceProduct second;
  second.setId("P2").setCustomDimension(4, "large").setPrice(std::nullopt);
  TLMEcommercePromotion promotion;
  promotion.setId("PR").setPosition("banner1");

  TLMDictionaryBuilder builder;
  builder.addProduct(first).addProduct(second).addPromotion(promotion);
  Dictionary hit = builder.build();
  EXPECT_EQ(hit, (Dictionary{{"&pr1id", text("P1")},
                             {"&pr1nm", text("Shirt")},
                             {"&pr1pr", text("12.5")},
                             {"&pr2id", text("P2")},
                             {"&pr2cd4", text("large")},
                             {"&pr2pr", kNull},
                             {"&promo1id", text("PR")},
                             {"&promo1ps", text("banner1")}}));
  // The builder writes the keys the objects themselves compose.
  Dictionary own = first.buildWithIndex(1);
  own.merge(second.buildWithIndex(2));
  own.merge(promotion.buildWithIndex(1));
  EXPECT_EQ(hit, own);
}

TEST_F(TLMDictionaryBuilderTest, ImpressionListsKeepTheirFirstSource) {
  TLMEcommerceProduct a, b, c;
  a.setId("A");
  b.setId("B");
  c.setId("C").setCustomMetric(2, 1);
  TLMDictionaryBuilder builder;
  builder.addProductImpression(a, "results", "a")
      .addProductImpression(b, "results", "b")
      .addProductImpression(c, "related", "");
  EXPECT_EQ(builder.impressionListNames(), (std::vector<std::string>{"results", "related"}));
  EXPECT_EQ(builder.impressionListSources(), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(builder.build(), (Dictionary{{"&il1nm", text("results")},
                                         {"&il1ls", text("a")},
                                         {"&il1pi1id", text("A")},
                                         {"&il1pi2id", text("B")},
                                         {"&il2nm", text("related")},
                                         {"&il2pi1id", text("C")},
                                         {"&il2pi1cm2", text("1")}}));
  EXPECT_EQ(builder.build().count("&il2ls"), 0u);
}

TEST_F(TLMDictionaryBuilderTest, AnImpressionListWithoutANameOrSourceIsTheEmptyString) {
  TLMEcommerceProduct p;
  p.setId("X");
  TLMDictionaryBuilder builder;
  builder.addProductImpression(p, std::nullopt, std::nullopt)
      .addProductImpression(p, "", "late source");
  EXPECT_EQ(builder.build(),
            (Dictionary{{"&il1nm", text("")}, {"&il1pi1id", text("X")}, {"&il1pi2id", text("X")}}));
}

TEST_F(TLMDictionaryBuilderTest, BuildingLeavesTheBuilderAsItWas) {
  TLMEcommerceProduct p;
  p.setId("P");
  TLMDictionaryBuilder builder = TLMDictionaryBuilder::createEventWithCategory("c", "a", "l", 1);
  builder.addProduct(p).addProductImpression(p, "list", "src");
  const Dictionary first = builder.build();
  EXPECT_EQ(builder.build(), first);
  EXPECT_EQ(builder.parameters().size(), 5u);
  // A builder on its way out hands over the same hit.
  EXPECT_EQ(std::move(builder).build(), first);
}

TEST_F(TLMDictionaryBuilderTest, ADateInAnEcommerceDictionaryIsLeftOutWithAWarning) {
  TLMEcommerceProduct product;
  product.setParameters({{"id", text("P")}, {"dt", Value(platform::Date::now())}});
  TLMEcommerceProductAction action;
  action.setParameters({{"&pa", text("detail")}, {"&dt", Value(platform::Date::now())}});
  TLMDictionaryBuilder builder;
  builder.addProduct(product).setProductAction(action);
  EXPECT_EQ(builder.build(), (Dictionary{{"&pa", text("detail")}, {"&pr1id", text("P")}}));
  EXPECT_EQ(warnings("Unexpected class: Date"), 2);
}

TEST_F(TLMDictionaryBuilderTest, PartsSetSeparatelyThatDisagreeStillBuild) {
  TLMDictionaryBuilder builder;
  builder.setImpressionListNames({"one", "two"});
  builder.setImpressionListSources({"s1"});
  EXPECT_EQ(builder.build(),
            (Dictionary{{"&il1nm", text("one")}, {"&il1ls", text("s1")}, {"&il2nm", text("two")}}));
}

}  // namespace

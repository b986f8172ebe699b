#include "TessarinUpdates/Appcast.h"

#include <gtest/gtest.h>

using namespace TessarinUpdates;

namespace {

std::string feed(const std::string& items) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:p="https://parlindo.invalid/appcast">
  <channel>
    <title>Parlindo</title>
    <link>https://parlindo.invalid/</link>
)" + items +
           R"(
  </channel>
</rss>)";
}

} // namespace

TEST(AppcastTest, ReadsEveryReleaseWithAVersionAndAWebPage) {
    const auto items = parseAppcast(feed(R"(
    <item>
      <title>Parlindo 1.3</title>
      <p:version>1.3.0</p:version>
      <link>https://parlindo.invalid/download/1.3</link>
    </item>
    <item>
      <title><![CDATA[Parlindo 1.4 & more]]></title>
      <version> 1.4 </version>
      <enclosure url="https://parlindo.invalid/files/1.4.tar.gz" length="1" type="application/gzip"/>
    </item>
    <item>
      <title>No version</title>
      <link>https://parlindo.invalid/download/x</link>
    </item>
    <item>
      <title>Unsafe page</title>
      <p:version>9.0</p:version>
      <link>javascript:alert(1)</link>
    </item>)"));

    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], (AppcastItem{"Parlindo 1.3", "1.3.0", "https://parlindo.invalid/download/1.3"}));
    EXPECT_EQ(items[1],
              (AppcastItem{"Parlindo 1.4 & more", "1.4", "https://parlindo.invalid/files/1.4.tar.gz"}));
}

TEST(AppcastTest, TheNewestReleaseIsChosenByVersionNotByOrder) {
    const std::vector<AppcastItem> items{
        {"a", "1.9", "https://x.invalid/a"},
        {"b", "1.10", "https://x.invalid/b"},
        {"c", "1.10.0", "https://x.invalid/c"},
    };
    EXPECT_EQ(newestItem(items)->title, "b");
    EXPECT_EQ(newestItem({}), std::nullopt);
}

TEST(AppcastTest, AFeedWithoutReleasesHasNone) {
    EXPECT_TRUE(parseAppcast(feed("")).empty());
}

TEST(AppcastTest, DocumentsThatAreNotFeedsAreErrors) {
    for (const std::string& document :
         {std::string("<rss><channel><item></channel></rss>"), std::string(""),
          std::string("<html><body>Not found</body></html>"), std::string("{\"latest\": \"2.0\"}")}) {
        EXPECT_THROW(parseAppcast(document), AppcastError) << document;
    }
}

TEST(AppcastTest, EntityExpansionBombsAreRefused) {
    std::string document = "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\">";
    std::string previous = "a";
    for (int level = 0; level < 9; ++level) {
        const std::string name = "e" + std::to_string(level);
        document += "<!ENTITY " + name + " \"";
        for (int i = 0; i < 10; ++i) {
            document += "&" + previous + ";";
        }
        document += "\">";
        previous = name;
    }
    document += "]><rss><channel><item><title>&" + previous + ";</title></item></channel></rss>";
    EXPECT_THROW(parseAppcast(document), AppcastError);
}

TEST(AppcastTest, DeeplyNestedElementsAreReadWithoutExhaustingTheStack) {
    std::string nested;
    for (int level = 0; level < 100'000; ++level) {
        nested += "<p>";
    }
    for (int level = 0; level < 100'000; ++level) {
        nested += "</p>";
    }
    const auto items = parseAppcast(
        feed("<item><version>2.0</version><link>https://parlindo.invalid/2.0</link>" + nested + "</item>"));
    EXPECT_EQ(items, (std::vector<AppcastItem>{{"", "2.0", "https://parlindo.invalid/2.0"}}));
}

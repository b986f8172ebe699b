#include "TessarinCore/Domain/Hotkey.h"
#include "TessarinCore/Domain/JsonCoding.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace TessarinCore {
namespace {

using nlohmann::json;

TEST(HotkeyTests, SupportedKeys) {
    const std::vector<std::pair<std::uint16_t, std::string>> expected{{63, "fn \U0001F310"},
                                                                      {61, "Right \u2325"},
                                                                      {54, "Right \u2318"},
                                                                      {62, "Right \u2303"},
                                                                      {60, "Right \u21E7"}};
    ASSERT_EQ(Hotkey::supported().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Hotkey::supported()[i].keyCode, expected[i].first);
        EXPECT_EQ(Hotkey::supported()[i].displayName, expected[i].second);
    }
}

TEST(HotkeyTests, EqualityUsesBothFieldsWhileIdentityUsesTheKeyCode) {
    const Hotkey renamed{61, "Option"};
    EXPECT_EQ((Hotkey{61, "Right \u2325"}), Hotkey::rightOption());
    EXPECT_NE(renamed, Hotkey::rightOption());
    EXPECT_EQ(renamed.id(), Hotkey::rightOption().id());

    const HotkeyBinding english{Hotkey::rightShift(), DictationLanguage::english};
    const HotkeyBinding arabic{Hotkey::rightShift(), DictationLanguage::arabic};
    EXPECT_NE(english, arabic);
    EXPECT_EQ(english.id(), arabic.id());

    const std::unordered_set<HotkeyBinding> bindings{english, arabic, english};
    EXPECT_EQ(bindings.size(), 2u);
}

TEST(HotkeyTests, ReadingASupportedKeyCodeAlwaysTakesTheCurrentName) {
    for (const json& stored :
         {json{{"keyCode", 61}, {"displayName", "old name"}}, json{{"keyCode", 61}, {"displayName", 7}},
          json{{"keyCode", 61}, {"displayName", nullptr}}, json{{"keyCode", 61}}}) {
        EXPECT_EQ(stored.get<Hotkey>(), Hotkey::rightOption()) << stored.dump();
    }
}

TEST(HotkeyTests, ReadingAnUnsupportedKeyCodeKeepsItsStoredName) {
    EXPECT_EQ((json{{"keyCode", 12}}.get<Hotkey>()), (Hotkey{12, "Key 12"}));
    EXPECT_EQ((json{{"keyCode", 12}, {"displayName", nullptr}}.get<Hotkey>()), (Hotkey{12, "Key 12"}));
    EXPECT_EQ((json{{"keyCode", 12}, {"displayName", "Q"}}.get<Hotkey>()), (Hotkey{12, "Q"}));
    EXPECT_THROW((json{{"keyCode", 12}, {"displayName", 5}}.get<Hotkey>()), DecodingError);
}

TEST(HotkeyTests, BadKeyCodesFailNamingTheKey) {
    for (const json& stored :
         {json{{"keyCode", 70000}}, json{{"keyCode", -1}}, json{{"displayName", "x"}},
          json{{"keyCode", "61"}}, json{{"keyCode", 61.5}}, json{{"keyCode", nullptr}}, json::array()}) {
        try {
            stored.get<Hotkey>();
            ADD_FAILURE() << "decoded " << stored.dump();
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.codingPath(), stored.is_object() ? "keyCode" : "") << stored.dump();
        }
    }
}

TEST(HotkeyTests, WritingAndReadingRoundTrips) {
    EXPECT_EQ(json(Hotkey::function()), (json{{"keyCode", 63}, {"displayName", "fn \U0001F310"}}));
    for (const Hotkey& hotkey : {Hotkey::function(), Hotkey{12, "Q"}, Hotkey{65535, "Last"}}) {
        EXPECT_EQ(json(hotkey).get<Hotkey>(), hotkey);
    }
    const HotkeyBinding binding{Hotkey{12, "Q"}, DictationLanguage::arabic};
    EXPECT_EQ(json(binding),
              (json{{"hotkey", {{"keyCode", 12}, {"displayName", "Q"}}}, {"language", "arabic"}}));
    EXPECT_EQ(json(binding).get<HotkeyBinding>(), binding);
}

TEST(HotkeyTests, BindingNeedsBothKeys) {
    const struct {
        json stored;
        std::string path;
    } cases[] = {
        {{{"language", "english"}}, "hotkey"},
        {{{"hotkey", {{"keyCode", 63}}}}, "language"},
        {{{"hotkey", {{"keyCode", 63}}}, {"language", "french"}}, "language"},
        {{{"hotkey", {{"keyCode", 99999}}}, {"language", "english"}}, "hotkey.keyCode"},
    };
    for (const auto& testCase : cases) {
        try {
            testCase.stored.get<HotkeyBinding>();
            ADD_FAILURE() << "decoded " << testCase.stored.dump();
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.codingPath(), testCase.path);
            EXPECT_NE(std::string(error.what()).find(testCase.path), std::string::npos) << error.what();
        }
    }
}

TEST(HotkeyTests, GesturesAndEventsCompareByCaseAndPayload) {
    const Instant t0 = Instant::sinceOrigin(Duration::seconds(std::int64_t{1}));
    EXPECT_EQ(HotkeyEvent::pressed(Hotkey::function(), t0), HotkeyEvent::pressed(Hotkey::function(), t0));
    EXPECT_NE(HotkeyEvent::pressed(Hotkey::function(), t0), HotkeyEvent::released(Hotkey::function(), t0));
    EXPECT_NE(HotkeyEvent::otherInput(t0), HotkeyEvent::otherInput(t0 + Duration::nanoseconds(1)));
    EXPECT_NE(HotkeyGesture::cancel(HotkeyGesture::CancelReason::tooShort),
              HotkeyGesture::cancel(HotkeyGesture::CancelReason::chord));
}

} // namespace
} // namespace TessarinCore

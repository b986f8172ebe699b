#include "App/KeyNames.h"
#include "App/SettingsStore.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace Parlindo;
using namespace TessarinCore;

TEST(KeyNamesTest, EachOfferedKeyShowsItsPCNameAndAnyOtherKeyItsStoredName) {
    const std::vector<std::pair<Hotkey, std::string>> cases{
        {Hotkey::function(), "Menu key"},
        {Hotkey::rightOption(), "Right Alt"},
        {Hotkey::rightCommand(), "Right Super"},
        {Hotkey::rightControl(), "Right Ctrl"},
        {Hotkey::rightShift(), "Right Shift"},
        // The name does not matter for an offered key code.
        {Hotkey{61, "Option"}, "Right Alt"},
        {Hotkey{96, "F5"}, "F5"},
    };
    for (const auto& [hotkey, name] : cases) {
        EXPECT_EQ(keyName(hotkey), name) << hotkey.keyCode;
    }
    EXPECT_EQ(methodName(InsertionMethod::paste), "Pasting (Ctrl+V)");
    EXPECT_EQ(methodName(InsertionMethod::type), "Typing");
}

TEST(KeyNamesTest, SavedSettingsKeepTheStoredKeyNames) {
    auto defaults = std::make_shared<System::Defaults::UserDefaults>();
    SettingsStore("dictationSettings", defaults).save(SettingsStore::defaultSettings());
    const auto stored = defaults->value("dictationSettings");
    ASSERT_TRUE(stored);
    const auto& bindings = stored->at("bindings");
    EXPECT_EQ(bindings.at(0).at("hotkey").at("displayName"), "fn \U0001F310");
    EXPECT_EQ(bindings.at(1).at("hotkey").at("displayName"), "Right \u2325");
}

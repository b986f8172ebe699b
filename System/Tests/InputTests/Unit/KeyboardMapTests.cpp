#include "System/Input/KeyboardMap.h"

#include <gtest/gtest.h>

using namespace System::Input;

namespace {

// A small layout: two keysyms per keycode, keycodes 8 to 15.
KeyboardMap layout() {
    return KeyboardMap(8, 15, 2,
                       {
                           KeySyms::noSymbol, KeySyms::noSymbol,       // 8: unused
                           KeySyms::altR, 0xffe8,                      // 9: Alt_R Meta_R
                           KeySyms::altL, 0xffe7,                      // 10: Alt_L Meta_L
                           KeySyms::menu, KeySyms::noSymbol,           // 11: Menu
                           0x61, 0x41,                                 // 12: a A
                           KeySyms::isoLevel3Shift, KeySyms::noSymbol, // 13: AltGr
                           KeySyms::controlR, KeySyms::noSymbol,       // 14: Control_R
                           KeySyms::noSymbol, 0x41,                    // 15: only a second level
                       });
}

} // namespace

TEST(KeyboardMapTests, mapsEachModifierKeysymToItsKeyCodeAndFlags) {
    using namespace ModifierFlag;
    struct Case {
        KeySym keySym;
        std::uint16_t keyCode;
        ModifierFlags flags;
    };
    const Case cases[] = {
        {KeySyms::altR, 61, rightOption | option},      {KeySyms::isoLevel3Shift, 61, rightOption | option},
        {KeySyms::superR, 54, rightCommand | command},  {KeySyms::controlR, 62, rightControl | control},
        {KeySyms::shiftR, 60, rightShift | shift},      {KeySyms::menu, 63, function},
        {KeySyms::altL, 58, leftOption | option},       {KeySyms::superL, 55, leftCommand | command},
        {KeySyms::controlL, 59, leftControl | control}, {KeySyms::shiftL, 56, leftShift | shift},
    };
    for (const auto& c : cases) {
        auto key = modifierKeyForKeySym(c.keySym);
        ASSERT_TRUE(key) << std::hex << c.keySym;
        EXPECT_EQ(key->keyCode, c.keyCode) << std::hex << c.keySym;
        EXPECT_EQ(key->flags, c.flags) << std::hex << c.keySym;
    }
    EXPECT_FALSE(modifierKeyForKeySym(0x61));
    EXPECT_FALSE(modifierKeyForKeySym(0xffe5)); // Caps_Lock is no dictation key
}

TEST(KeyboardMapTests, findsUnusedKeyCodesAndKeysymsByColumn) {
    const auto map = layout();
    EXPECT_TRUE(map.isUnused(8));
    EXPECT_FALSE(map.isUnused(15)); // a keysym on any level makes the key used
    EXPECT_FALSE(map.isUnused(7));  // outside the map
    EXPECT_EQ(map.keyCodeFor(0x41, 1), 12);
    EXPECT_EQ(map.keyCodeFor(0x61, 0), 12);
    EXPECT_FALSE(map.keyCodeFor(0x76, 0));
    EXPECT_EQ(map.keySym(12, 2), KeySyms::noSymbol);
}

TEST(KeyboardMapTests, keySymsForCharacters) {
    EXPECT_EQ(keySymForCharacter(U'a'), 0x61u);
    EXPECT_EQ(keySymForCharacter(U'é'), 0xe9u);      // Latin-1 is its own keysym
    EXPECT_EQ(keySymForCharacter(U'–'), 0x1002013u); // everything else in the Unicode range
    EXPECT_EQ(keySymForCharacter(U'م'), 0x1000645u);
    EXPECT_EQ(keySymForCharacter(U'😀'), 0x101f600u);
    EXPECT_EQ(keySymForCharacter(U'\n'), KeySyms::returnKey);
    EXPECT_EQ(keySymForCharacter(U'\t'), KeySyms::tab);
    EXPECT_FALSE(keySymForCharacter(U'\x1b'));
    EXPECT_FALSE(keySymForCharacter(U'\x7f'));
    EXPECT_FALSE(keySymForCharacter(char32_t(0xd800)));
}

TEST(KeyboardMapTests, trackerReportsModifierChangesWithTheFlagsOfEveryKeyDown) {
    using namespace ModifierFlag;
    const auto map = layout();
    ModifierTracker tracker;
    using T = KeyEvent::Type;

    EXPECT_EQ(tracker.handle(9, true, map), (KeyEvent{T::flagsChanged, 61, rightOption | option}));
    EXPECT_EQ(tracker.handle(9, true, map), std::nullopt) << "a repeated press changes nothing";
    EXPECT_EQ(tracker.handle(10, true, map),
              (KeyEvent{T::flagsChanged, 58, rightOption | leftOption | option}));
    // Releasing the right key leaves the shared Option bit set by the left one.
    EXPECT_EQ(tracker.handle(9, false, map), (KeyEvent{T::flagsChanged, 61, leftOption | option}));
    EXPECT_EQ(tracker.handle(12, true, map), (KeyEvent{T::keyDown, VirtualKey::other, leftOption | option}));
    EXPECT_EQ(tracker.handle(12, false, map), std::nullopt) << "ordinary key releases are not reported";
    EXPECT_EQ(tracker.handle(10, false, map), (KeyEvent{T::flagsChanged, 58, 0}));
    EXPECT_EQ(tracker.handle(11, true, map), (KeyEvent{T::flagsChanged, 63, function}));
    EXPECT_EQ(tracker.handle(11, false, map), (KeyEvent{T::flagsChanged, 63, 0}));
}

TEST(KeyboardMapTests, trackerStartsFromTheKeysAlreadyDown) {
    const auto map = layout();
    std::bitset<256> down;
    down.set(14);
    ModifierTracker tracker(down);
    EXPECT_EQ(tracker.flags(map), ModifierFlag::rightControl | ModifierFlag::control);
    EXPECT_EQ(tracker.handle(14, true, map), std::nullopt);
    EXPECT_EQ(tracker.handle(14, false, map), (KeyEvent{KeyEvent::Type::flagsChanged, 62, 0}));
}

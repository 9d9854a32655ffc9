#include "Win1256.h"
#include "ServerTextPrinting.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

// A server text never passes for a UTF-8 string, nor one for it, in either direction.
static_assert(!std::is_convertible_v<TServerText, std::string>);
static_assert(!std::is_convertible_v<std::string, TServerText>);
static_assert(!std::is_convertible_v<const char*, TServerText>);
static_assert(!std::is_convertible_v<TServerText, std::string_view>);

TEST(Win1256, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    bool lossless = false;
    EXPECT_EQ(EncodeWin1256(DecodeWin1256(TServerText(all)), &lossless), TServerText(all));
    EXPECT_TRUE(lossless);
}

TEST(Win1256, KnownLetters) {
    struct Case {
        std::uint8_t byte;
        const char* utf8;
    } cases[] = {{0xED, "ي"}, {0x98, "ک"},      {0x81, "پ"},      {0x8D, "چ"}, {0x90, "گ"},
                 {0xC7, "ا"}, {0xFD, "\u200E"}, {0x9D, "\u200C"}, {0x80, "€"}, {'A', "A"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        EXPECT_EQ(DecodeWin1256(TServerText(std::string(1, static_cast<char>(c.byte)))), c.utf8);
        EXPECT_EQ(EncodeWin1256(c.utf8), TServerText(std::string(1, static_cast<char>(c.byte))));
    }
}

TEST(Win1256, CharactersOutsideTheCodePageBecomeQuestionMarks) {
    bool lossless = true;
    EXPECT_EQ(EncodeWin1256("aی中b", &lossless), TServerText("a??b")); // Farsi yeh and a CJK letter
    EXPECT_FALSE(lossless);
    EXPECT_EQ(EncodeWin1256(std::string("x\xC3(y\xE2\x82", 6), &lossless), TServerText("x?(y??"));
    EXPECT_FALSE(lossless);
}

TEST(Utf8, LengthAndCutCountCodePoints) {
    EXPECT_EQ(Utf8Length("سلام"), 4u);
    EXPECT_EQ(Utf8Left("سلام", 2), "سل");
    EXPECT_EQ(Utf8Left("abc", 10), "abc");
}

} // namespace

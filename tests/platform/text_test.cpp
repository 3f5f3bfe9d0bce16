// Text crossing the ANSI boundary, and upper case.
#include "text.h"
#include "fold_table.h"
#include "utf16.h"
#include "wtf8.h"

#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <locale.h>

#include <cstdint>
#include <cwctype>

#include <string>

using namespace std::string_literals;

namespace {

struct Conversion {
    std::string text;  // UTF-8
    std::string ansi;  // Windows-1252
};

class AnsiRoundTrip : public ::testing::TestWithParam<Conversion> {};

TEST_P(AnsiRoundTrip, BothWays) {
    EXPECT_EQ(TextToAnsi(GetParam().text), GetParam().ansi);
    EXPECT_EQ(AnsiToText(GetParam().ansi), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Texts, AnsiRoundTrip,
                         ::testing::Values(Conversion{"Windows 10 Pro", "Windows 10 Pro"}, Conversion{"", ""},
                                           Conversion{"café", "caf\xE9"}, Conversion{"€ – ‰ Ÿ", "\x80 \x96 \x89 \x9F"},
                                           Conversion{"a\0b\0\0"s, "a\0b\0\0"s},
                                           // The bytes the code page leaves undefined still survive.
                                           Conversion{"\u0081\u008D\u008F\u0090\u009D", "\x81\x8D\x8F\x90\x9D"}));

TEST(TextToAnsi, CharactersOutsideTheCodePageBecomeQuestionMarks) {
    EXPECT_EQ(TextToAnsi("Ā日本 ok"), "??? ok");
    EXPECT_EQ(TextToAnsi("emoji 😀!"), "emoji ?!");
}

TEST(TextToAnsi, MalformedUtf8BecomesQuestionMarks) {
    EXPECT_EQ(TextToAnsi("a\xFF"
                         "b"),
              "a?b");
    EXPECT_EQ(TextToAnsi("cut \xC3"), "cut ?");
}

TEST(UCase, UpperCasesEveryLetter) {
    EXPECT_EQ(UCase("windows 10 pro"), "WINDOWS 10 PRO");
    EXPECT_EQ(UCase("café"), "CAFÉ");
    EXPECT_EQ(UCase("Microsoft Windows XP"), "MICROSOFT WINDOWS XP");
    EXPECT_EQ(UCase("ÿ straße"), "Ÿ STRAßE") << "no letter changes length";
    EXPECT_EQ(UCase("a\0b"s), "A\0B"s);
}

TEST(FoldCase, MatchesNamesThatDifferOnlyInCase) {
    EXPECT_EQ(FoldCase("ProductName"), FoldCase("PRODUCTNAME"));
    EXPECT_EQ(FoldCase("Café"), FoldCase("CAFÉ"));
    EXPECT_NE(FoldCase("Cafe"), FoldCase("Café"));
}

// Stores keep names folded: the folding is the one they were written with, whatever the C
// library's case tables say today.
TEST(FoldCase, IsTheFrozenFoldingOfTheStores) {
    const struct {
        const char* name;
        std::string text, folded;
    } cases[] = {
        {"ASCII", "hklm\\Software_x", "HKLM\\SOFTWARE_X"},
        {"Latin-1, ÿ beyond it", "àéîõüÿ", "ÀÉÎÕÜŸ"},
        {"a run of every other letter, its capitals kept", "ĀāĂăą", "ĀĀĂĂĄ"},
        {"dotless i and long s fold to ASCII", "ıſ", "IS"},
        {"no letter changes length", "straße", "STRAßE"},
        {"titlecase digraph", "ǅ", "Ǆ"},
        {"Greek final sigma", "ς", "Σ"},
        {"Cyrillic and Armenian", "яա", "ЯԱ"},
        {"fullwidth", "ａｚ", "ＡＺ"},
        {"U+0282 has had an upper case since Unicode 12", "ʂ", "Ʂ"},
        {"U+0264 stays: its upper case came with Unicode 16", "ɤ", "ɤ"},
        {"beyond the BMP nothing folds", "𐐨", "𐐨"},
        {"a lone surrogate and a stray byte stay", "\xED\xA0\x80\xFF", "\xED\xA0\x80\xFF"},
    };
    for (const auto& c : cases) EXPECT_EQ(FoldCase(c.text), c.folded) << c.name;
}

// Where the C library is the one the frozen table was made from, the two agree.
TEST(FoldCase, AgreesWithTheLibraryItWasMadeFrom) {
    if (std::string_view(gnu_get_libc_version()) != fold::kMadeFromGlibc)
        GTEST_SKIP() << "made from glibc " << fold::kMadeFromGlibc;
    const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    ASSERT_NE(utf8, locale_t{});
    int differing = 0;
    for (char32_t c = 0; c < 0x10000; ++c) {
        std::string one, upper;
        AppendUtf8(one, c);
        AppendUtf8(upper, static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), utf8)));
        if (FoldCase(one) != upper && ++differing <= 5) ADD_FAILURE() << "U+" << std::hex << std::uint32_t{c};
    }
    EXPECT_EQ(differing, 0);
    freelocale(utf8);
}

TEST(Utf16Le, RoundTripsEveryPlane) {
    const std::string text = "Windows 10 café € 😀 a\0b"s;
    const std::string bytes = TextToUtf16Le(text);
    EXPECT_EQ(bytes.substr(0, 4), "W\0i\0"s);
    EXPECT_EQ(bytes.size(), 2 * 24u) << "23 characters, the emoji a surrogate pair";
    bool ok = false;
    EXPECT_EQ(Utf16LeToText(bytes, ok), text);
    EXPECT_TRUE(ok);
}

TEST(Utf16Le, ALoneSurrogateIsReportedAndReplaced) {
    bool ok = true;
    EXPECT_EQ(Utf16LeToText("a\0\x00\xD8"
                            "b\0"s,
                            ok),
              "a\uFFFDb");
    EXPECT_FALSE(ok);
}

}  // namespace

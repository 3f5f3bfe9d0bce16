// Text services against the system's own conversions: the ANSI code page is Windows-1252 in the
// portable build and in the Wine prefix of the tests.
#include "text.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

TEST(CodePage, AnsiBytesReadAsText) {
    EXPECT_EQ(AnsiToText("Caf\xE9 \x80 \x9F"), "Café € Ÿ");
    EXPECT_EQ(AnsiToText("a\0b\0"s), "a\0b\0"s) << "NULs are kept";
    EXPECT_EQ(AnsiToText(""), "");
}

TEST(CodePage, TextToAnsiBytes) {
    EXPECT_EQ(TextToAnsi("Café € Ÿ"), "Caf\xE9 \x80 \x9F");
    EXPECT_EQ(TextToAnsi("a\0b\0"s), "a\0b\0"s) << "NULs are kept";
    // No look-alikes: a character the code page lacks is "?", even where a similar one exists.
    EXPECT_EQ(TextToAnsi("ā Ω 日"), "? ? ?");
}

TEST(CodePage, EveryByteSurvivesTheRoundTrip) {
    for (int b = 1; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        EXPECT_EQ(TextToAnsi(AnsiToText(byte)), byte) << "byte " << b;
    }
}

TEST(UpperCase, NonAsciiLettersToo) {
    EXPECT_EQ(UCase("Windows 10 Pro"), "WINDOWS 10 PRO");
    EXPECT_EQ(UCase("café ÿ"), "CAFÉ Ÿ");
    EXPECT_EQ(UCase("a\0b"s), "A\0B"s);
    EXPECT_EQ(FoldCase("MixedCase été"), "MIXEDCASE ÉTÉ");
}

}  // namespace

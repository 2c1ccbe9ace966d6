#include "common/PlainText.h"

#include <gtest/gtest.h>

#include <ostream>

#include <string>

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

struct PlainTextCase {
    const char* name;
    std::string text;
    TextEncoding encoding;
    std::string plain;
};

// Rows print as their names, so the test names carry no byte dumps.
void PrintTo(const PlainTextCase& row, std::ostream* out) {
    *out << row.name;
}

class PlainTextRule : public ::testing::TestWithParam<PlainTextCase> {};

// Outside text comes out as the table says; whatever went in, what comes out holds no control character but "\n"
// and, for UTF-8, is valid UTF-8.
TEST_P(PlainTextRule, ShowsOutsideTextAsText) {
    const PlainTextCase& c = GetParam();
    const CString plain = PlainText(c.text, c.encoding);
    EXPECT_EQ(plain, c.plain);
    for (std::size_t pos = 0; pos < plain.size();) {
        const auto byte = static_cast<unsigned char>(plain[pos]);
        ASSERT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7F)) << "control byte at " << pos;
        if (c.encoding == TextEncoding::SingleByte) {
            ASSERT_FALSE(byte >= 0x80 && byte < 0xA0) << "C1 byte at " << pos;
            ++pos;
            continue;
        }
        const Utf8Char decoded = DecodeUtf8(std::string_view(plain).substr(pos));
        ASSERT_TRUE(decoded.valid) << "malformed UTF-8 at " << pos;
        ASSERT_FALSE(decoded.codePoint >= 0x80 && decoded.codePoint < 0xA0) << "C1 control at " << pos;
        pos += decoded.length;
    }
}

const TextEncoding kUtf8 = TextEncoding::Utf8;
const TextEncoding kSingle = TextEncoding::SingleByte;

INSTANTIATE_TEST_SUITE_P(
    Table, PlainTextRule,
    ::testing::Values(PlainTextCase{"Empty", "", kUtf8, ""},
                      PlainTextCase{"PlainAsciiKept", "Login failed for user 'sa'.", kUtf8,
                                    "Login failed for user 'sa'."},
                      PlainTextCase{"LineEndsBecomeNewlines", "a\r\nb\rc\nd\n\r", kUtf8, "a\nb\nc\nd\n\n"},
                      PlainTextCase{"TabBecomesSpace", "a\tb", kUtf8, "a b"},
                      // A server's error that would set the window title, clear the screen and print in red.
                      PlainTextCase{"EscapeSequencesShownAsText",
                                    "\x1b]0;owned\x07\x1b[2J\x1b[31mServer registered successfully\x1b[0m", kUtf8,
                                    "?]0;owned??[2J?[31mServer registered successfully?[0m"},
                      PlainTextCase{"NulBellBackspaceDel", std::string("nul\0b\x07\x08y\x7f", 9), kUtf8, "nul?b??y?"},
                      PlainTextCase{"C1CsiCodePoint",
                                    "\xc2\x9b"
                                    "31m",
                                    kUtf8, "?31m"},
                      PlainTextCase{"C1ByteInUtf8IsMalformed",
                                    "\x9b"
                                    "31m",
                                    kUtf8, kFffd + "31m"},
                      PlainTextCase{"C1ByteInSingleByte",
                                    "\x9b"
                                    "31m\x85",
                                    kSingle, "?31m?"},
                      PlainTextCase{"Latin1LettersKeptInSingleByte", "Gr\xfc\xdf\xe9", kSingle, "Gr\xfc\xdf\xe9"},
                      PlainTextCase{"ValidUtf8Kept",
                                    "Gr\xc3\xbc\xc3\x9f"
                                    "e \xe6\x97\xa5 \xf0\x9f\x98\x80",
                                    kUtf8,
                                    "Gr\xc3\xbc\xc3\x9f"
                                    "e \xe6\x97\xa5 \xf0\x9f\x98\x80"},
                      PlainTextCase{"TruncatedSequence", "bad\xc3(", kUtf8, "bad" + kFffd + "("},
                      PlainTextCase{"TruncatedAtTheEnd", "end\xe2\x82", kUtf8, "end" + kFffd + kFffd},
                      PlainTextCase{"OverlongSlash", "\xc0\xaf", kUtf8, kFffd + kFffd},
                      PlainTextCase{"Surrogate", "\xed\xa0\x80", kUtf8, kFffd + kFffd + kFffd},
                      PlainTextCase{"PastU10FFFF", "\xf4\x90\x80\x80", kUtf8, kFffd + kFffd + kFffd + kFffd},
                      PlainTextCase{"OverlongEscapeIsNoEscape", "\xc0\x9b[2J", kUtf8, kFffd + kFffd + "[2J"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every code point at the edges of the sequence lengths is written in the sequence DecodeUtf8 reads back.
TEST(Utf8Test, AppendWritesWhatDecodeReads) {
    const std::pair<char32_t, std::size_t> points[] = {{0, 1},      {0x7F, 1},    {0x80, 2},    {0x7FF, 2},
                                                       {0x800, 3},  {0xFFFF, 3},  {0x10000, 4}, {0x10FFFF, 4},
                                                       {0x20AC, 3}, {0x1F600, 4}, {0xD7FF, 3},  {0xE000, 3}};
    for (const auto& [point, length] : points) {
        CString text;
        AppendUtf8(text, point);
        ASSERT_EQ(text.size(), length) << static_cast<unsigned long>(point);
        const Utf8Char decoded = DecodeUtf8(text);
        EXPECT_TRUE(decoded.valid) << static_cast<unsigned long>(point);
        EXPECT_EQ(decoded.codePoint, point);
        EXPECT_EQ(decoded.length, length);
    }
    CString euro;
    AppendUtf8(euro, 0x20AC);
    EXPECT_EQ(euro, "\xe2\x82\xac");
}

} // namespace

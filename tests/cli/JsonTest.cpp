#include "cli/Json.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct text_row {
    const char* name;
    std::string text;
    const char* json; // the string literal JsonLine writes for it
};

// Rows show as their names in test listings.
void PrintTo(const text_row& row, std::ostream* out) {
    *out << row.name;
}

class JsonLineText : public testing::TestWithParam<text_row> {};

// A text member comes out as plain ASCII on one line: escapes for quotes, backslashes, control characters and
// everything beyond ASCII; bytes that are not UTF-8 are replaced by U+FFFD, one per ill-formed sequence, never
// dropped and never passed through.
TEST_P(JsonLineText, IsOneAsciiLine) {
    const CString line = JsonLine(nlohmann::ordered_json{{"t", GetParam().text}});
    EXPECT_EQ(line, std::string("{\"t\":") + GetParam().json + "}");
    EXPECT_EQ(line.find('\n'), CString::npos);
    for (const char c : line)
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << static_cast<int>(static_cast<unsigned char>(c));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, JsonLineText,
    testing::Values(text_row{"Plain", "plain text 1.2.3.4", R"("plain text 1.2.3.4")"},
                    text_row{"QuoteAndBackslash", "a\"b\\c", R"("a\"b\\c")"},
                    text_row{"LineEnds", "l1\nl2\r\tend", R"("l1\nl2\r\tend")"},
                    text_row{"ControlCharacters", std::string("\0\x01\x1f\x7f", 4), R"("\u0000\u0001\u001f\u007f")"},
                    text_row{"TwoByteUtf8", "caf\xc3\xa9", R"("caf\u00e9")"},
                    text_row{"ThreeByteUtf8", "\xe2\x82\xac", R"("\u20ac")"},
                    text_row{"FourByteUtf8IsASurrogatePair", "\xf0\x9f\x98\x80", R"("\ud83d\ude00")"},
                    text_row{"AnsiByte", "caf\xe9", R"("caf\ufffd")"},
                    text_row{"CutSequence", "\xe2\x82 end", R"("\ufffd end")"},
                    text_row{"Overlong", "\xc0\xaf", R"("\ufffd\ufffd")"},
                    text_row{"EncodedSurrogate", "\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},
                    text_row{"ByteFF", "\xff", R"("\ufffd")"}),
    [](const testing::TestParamInfo<text_row>& info) { return info.param.name; });

// ordered_json keeps the members in the order they were added, nested objects and literals unquoted.
TEST(JsonLine, KeepsMemberOrder) {
    nlohmann::ordered_json value;
    value["outcome"] = "failed";
    value["exit_code"] = 3;
    value["ok"] = false;
    value["row"] = nullptr;
    value["inner"] = {{"ServerIP", "10.0.0.1"}};
    EXPECT_EQ(JsonLine(value),
              R"({"outcome":"failed","exit_code":3,"ok":false,"row":null,"inner":{"ServerIP":"10.0.0.1"}})");
    EXPECT_EQ(JsonLine(nlohmann::json::object()), "{}");
}

} // namespace

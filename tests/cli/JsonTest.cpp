#include "cli/Json.h"

#include <gtest/gtest.h>

namespace {

// Quotes, backslashes and every control character are escaped; printable ASCII stays as it is.
TEST(JsonString, EscapesControlCharacters) {
    EXPECT_EQ(JsonString("plain text 1.2.3.4"), "\"plain text 1.2.3.4\"");
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("l1\nl2\r\tend"), "\"l1\\nl2\\r\\tend\"");
    EXPECT_EQ(JsonString(std::string_view("\0\x01\x1f\x7f", 4)), "\"\\u0000\\u0001\\u001f\\u007f\"");
}

// Well-formed UTF-8 becomes its code points, above U+FFFF as a surrogate pair.
TEST(JsonString, EncodesUtf8AsCodePoints) {
    EXPECT_EQ(JsonString("caf\xc3\xa9"), "\"caf\\u00e9\"");
    EXPECT_EQ(JsonString("\xe2\x82\xac"), "\"\\u20ac\"");
    EXPECT_EQ(JsonString("\xf0\x9f\x98\x80"), "\"\\ud83d\\ude00\"");
}

// Bytes that are not UTF-8 (an ANSI text, a truncated or overlong sequence, an encoded surrogate) are taken as
// Latin-1, one character per byte, so the output is always valid JSON.
TEST(JsonString, TakesMalformedBytesAsLatin1) {
    EXPECT_EQ(JsonString("caf\xe9"), "\"caf\\u00e9\"");
    EXPECT_EQ(JsonString("\xe2\x82"), "\"\\u00e2\\u0082\"");
    EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\u00c0\\u00af\"");
    EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
    EXPECT_EQ(JsonString("\xff"), "\"\\u00ff\"");
}

// Members keep the order they were added in; nested objects and literals are written unquoted.
TEST(JsonObject, WritesMembersInOrder) {
    JsonObject inner;
    inner.Add("ServerIP", "10.0.0.1");
    JsonObject outer;
    outer.Add("outcome", "failed").Add("exit_code", 3).Add("ok", false).AddNull("row").Add("inner", inner);
    EXPECT_EQ(
        outer.Text(),
        "{\"outcome\":\"failed\",\"exit_code\":3,\"ok\":false,\"row\":null,\"inner\":{\"ServerIP\":\"10.0.0.1\"}}");
    EXPECT_EQ(JsonObject().Text(), "{}");
}

} // namespace

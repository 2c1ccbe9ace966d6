#include "common/FormatString.h"

#include <gtest/gtest.h>

#include <string>

// Outputs follow printf, up to the first zero byte.
TEST(FormatString, FollowsPrintfAndEndsAtFirstZeroByte) {
    EXPECT_EQ(FormatString("%s\\%s", "SOFTWARE\\Velmora", "General"), "SOFTWARE\\Velmora\\General");
    EXPECT_EQ(FormatString("%c", 'A'), "A");
    EXPECT_EQ(FormatString("%c", 0), "");
    EXPECT_EQ(FormatString("a%cb", 0), "a");
    EXPECT_EQ(FormatString("%d|%ld|%0lX", -5, -2147467259L, 0x80040200UL), "-5|-2147467259|80040200");
    EXPECT_EQ(FormatString("%s", ""), "");
}

// The 4096-byte working buffer does not cut longer outputs; outputs around its size come out whole.
TEST(FormatString, LongOutputsAreNotCut) {
    for (std::size_t length : {4094u, 4095u, 4096u, 4097u, 100000u}) {
        const std::string text(length, 'x');
        const CString out = FormatString("<%s>", text.c_str());
        ASSERT_EQ(out.size(), length + 2) << length;
        EXPECT_EQ(out, "<" + text + ">");
    }
    const std::string big(5000, 'y');
    EXPECT_EQ(FormatString("%s%c%s", big.c_str(), 0, "tail"), big);
}

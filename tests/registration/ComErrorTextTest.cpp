#include "registration/Registration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// An error without error information and with a code the message table does not know: both texts are "(null)" and
// the system message is the IDispatch fallback, all joined without separators.
TEST(GetComErrorText, WithoutErrorInfoAndUnknownCodeUsesIDispatchFallback) {
    EXPECT_EQ(GetComErrorText(_com_error(static_cast<HRESULT>(0x80040205u))),
              "(null) Error -2147220987(null)IDispatch error #5");
}

// A call through a missing object: E_POINTER, no error information, the message table's text without its "\r\n".
TEST(GetComErrorText, EPointerWithoutErrorInfo) {
    EXPECT_EQ(GetComErrorText(_com_error(E_POINTER)), "(null) Error -2147467261(null)Invalid pointer");
}

// Source and description come first and third; the HRESULT is signed decimal.
TEST(GetComErrorText, WithSourceAndDescription) {
    const _com_error login(E_FAIL, "Microsoft OLE DB Provider for SQL Server", "Login failed for user 'sa'.");
    EXPECT_EQ(GetComErrorText(login),
              "Microsoft OLE DB Provider for SQL Server Error -2147467259Login failed for user 'sa'.Unspecified error");
    // A data-object code outside the message table, with error information: the fallback follows the description.
    const _com_error refused(static_cast<HRESULT>(0x80040E4Du), "PostgreSQL Unicode", "password authentication failed");
    EXPECT_EQ(GetComErrorText(refused), "PostgreSQL Unicode Error -2147217843password authentication failedIDispatch "
                                        "error #3149");
    // An empty source or description is given, not absent.
    EXPECT_EQ(GetComErrorText(_com_error(static_cast<HRESULT>(0x80040200u), "", "")),
              " Error -2147220992Unknown error 0x80040200");
}

constexpr char kMarker = '\xbd';

// Copies text into a 512-byte area inside a larger buffer of markers and returns what the area holds.
std::string copy_into_area(const std::string& text, std::size_t areaSize = 512) {
    std::string buffer(areaSize + 16, kMarker);
    CopyErrorText(text, buffer.data(), areaSize);
    for (std::size_t i = areaSize; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], kMarker) << "byte " << i << " past the area was written";
    const std::size_t end = buffer.find('\0');
    EXPECT_LT(end, areaSize) << "no terminator inside the area";
    return buffer.substr(0, end);
}

// Texts that fit are copied whole with their terminator, and nothing past the area is touched.
TEST(CopyErrorText, FittingTextIsCopiedWhole) {
    EXPECT_EQ(copy_into_area(""), "");
    EXPECT_EQ(copy_into_area("(null) Error -2147467261(null)Invalid pointer"),
              "(null) Error -2147467261(null)Invalid pointer");
    EXPECT_EQ(copy_into_area(std::string(511, 'x')), std::string(511, 'x'));
}

// A longer text keeps as many bytes as fit, ending before any character that would be split.
TEST(CopyErrorText, LongTextIsCutAtACharacterBoundary) {
    EXPECT_EQ(copy_into_area(std::string(600, 'x')), std::string(511, 'x'));
    const std::string two = "\xc3\xa9";          // é
    const std::string three = "\xe2\x82\xac";    // €
    const std::string four = "\xf0\x9f\x98\x80"; // U+1F600
    EXPECT_EQ(copy_into_area(std::string(510, 'a') + two), std::string(510, 'a'));
    EXPECT_EQ(copy_into_area(std::string(509, 'a') + two + "b"), std::string(509, 'a') + two);
    EXPECT_EQ(copy_into_area(std::string(509, 'a') + three), std::string(509, 'a'));
    EXPECT_EQ(copy_into_area(std::string(510, 'a') + three), std::string(510, 'a'));
    EXPECT_EQ(copy_into_area(std::string(508, 'a') + four), std::string(508, 'a'));
    EXPECT_EQ(copy_into_area(std::string(507, 'a') + four + "z"), std::string(507, 'a') + four);
}

// Every area size: the copy is the longest prefix that fits and ends on a character boundary.
TEST(CopyErrorText, EveryAreaSizeGivesTheLongestWholeCharacterPrefix) {
    std::string text;
    for (int i = 0; i < 20; ++i)
        text += "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    auto is_continuation = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    for (std::size_t size = 1; size <= text.size() + 2; ++size) {
        const std::string copied = copy_into_area(text, size);
        ASSERT_EQ(text.compare(0, copied.size(), copied), 0) << "size " << size;
        ASSERT_LE(copied.size(), size - 1);
        if (copied.size() < text.size()) {
            ASSERT_FALSE(is_continuation(text[copied.size()])) << "split a character at size " << size;
            ASSERT_GT(copied.size() + 4, size - 1) << "cut more than one character at size " << size;
        }
    }
}

// An area without room (null, or zero bytes) is left alone.
TEST(CopyErrorText, AreaWithoutRoomIsUntouched) {
    CopyErrorText("text", nullptr, 512);
    char area[4] = {kMarker, kMarker, kMarker, kMarker};
    CopyErrorText("text", area, 0);
    EXPECT_EQ(std::memcmp(area, "\xbd\xbd\xbd\xbd", 4), 0);
    CopyErrorText("text", area, 1);
    EXPECT_EQ(area[0], '\0');
    EXPECT_EQ(area[1], kMarker);
}

} // namespace

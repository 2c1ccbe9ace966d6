// How GetComErrorText trims the system message: one trailing line feed goes (with a carriage return before it) when
// the text is longer than one character; nothing else is trimmed. The real message table holds only "\r\n" endings,
// so this program links a stand-in for FormatMessageA/LocalFree in their place (link-time substitution: the message
// table's object is then not linked at all) that gives the texts under test.
#include "platform/messages/Messages.h"
#include "registration/Registration.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct TrimRow {
    const char* name;
    DWORD code;
    const char* text; // what the message table gives
    const char* kept; // what the error text shows
};

constexpr TrimRow kRows[] = {
    {"LoneLineFeed", 0x80001001u, "Lone line feed\n", "Lone line feed"},
    {"CarriageReturnLineFeed", 0x80001002u, "Both\r\n", "Both"},
    {"OnlyOneLineFeedGoes", 0x80001003u, "Two\n\n", "Two\n"},
    {"OneCharacterLineFeedStays", 0x80001004u, "\n", "\n"},
    {"OneCharacterText", 0x80001005u, "x", "x"},
    {"CarriageReturnAloneStays", 0x80001006u, "Ends in CR\r", "Ends in CR\r"},
    {"OnlyTheLineEnd", 0x80001007u, "\r\n", ""},
};

void PrintTo(const TrimRow& row, std::ostream* out) {
    *out << row.name;
}

class SystemMessageTrimTest : public ::testing::TestWithParam<TrimRow> {};

TEST_P(SystemMessageTrimTest, OneTrailingLineFeedGoesFromLongerTexts) {
    const TrimRow& row = GetParam();
    EXPECT_EQ(GetComErrorText(_com_error(static_cast<HRESULT>(row.code))),
              "(null) Error " + std::to_string(static_cast<HRESULT>(row.code)) + "(null)" + row.kept);
}

INSTANTIATE_TEST_SUITE_P(Texts, SystemMessageTrimTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<TrimRow>& info) { return std::string(info.param.name); });

} // namespace

DWORD FormatMessageA(DWORD dwFlags, const void*, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD, va_list*) {
    for (const TrimRow& row : kRows) {
        if (row.code != dwMessageId || (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0)
            continue;
        const std::size_t length = std::strlen(row.text);
        char* copy = static_cast<char*>(std::malloc(length + 1));
        if (copy == nullptr)
            return 0;
        std::memcpy(copy, row.text, length + 1);
        *reinterpret_cast<char**>(lpBuffer) = copy;
        return static_cast<DWORD>(length);
    }
    return 0;
}

HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

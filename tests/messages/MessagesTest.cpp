#include "platform/messages/Messages.h"

#include <gtest/gtest.h>
#include <ostream>

#include <cstdlib>
#include <string>

namespace {

constexpr DWORD system_flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

std::string allocated_message(DWORD code, DWORD* length = nullptr) {
    char* text = reinterpret_cast<char*>(0x1);
    const DWORD got = FormatMessageA(system_flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                                     LANG_NEUTRAL_SUBLANG_DEFAULT, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length != nullptr)
        *length = got;
    if (got == 0)
        return text == nullptr ? "<none>" : "<stray pointer>";
    std::string message(text, got);
    EXPECT_EQ(text[got], '\0');
    EXPECT_EQ(LocalFree(text), nullptr);
    return message;
}

struct KnownMessage {
    DWORD code;
    const char* text;
};

// The row as test names and failure messages show it.
void PrintTo(const KnownMessage& row, std::ostream* out) {
    *out << "code_" << std::hex << std::uppercase << row.code;
}

class KnownMessages : public ::testing::TestWithParam<KnownMessage> {};

TEST_P(KnownMessages, TextIsExactWithItsLineEnd) {
    // Each listed code gives the Windows text followed by "\r\n", with its length as the result.
    DWORD length = 0;
    const std::string expected = std::string(GetParam().text) + "\r\n";
    EXPECT_EQ(allocated_message(GetParam().code, &length), expected);
    EXPECT_EQ(length, expected.size());
}

// Texts of the Windows system message table (English) for the registry errors and the COM HRESULTs the system
// meets.
INSTANTIATE_TEST_SUITE_P(
    Table, KnownMessages,
    ::testing::Values(
        KnownMessage{0, "The operation completed successfully."},
        KnownMessage{2, "The system cannot find the file specified."},
        KnownMessage{3, "The system cannot find the path specified."}, KnownMessage{5, "Access is denied."},
        KnownMessage{6, "The handle is invalid."},
        KnownMessage{8, "Not enough memory resources are available to process this command."},
        KnownMessage{87, "The parameter is incorrect."}, KnownMessage{112, "There is not enough space on the disk."},
        KnownMessage{161, "The specified path is invalid."}, KnownMessage{234, "More data is available."},
        KnownMessage{1009, "The configuration registry database is corrupt."},
        KnownMessage{1010, "The configuration registry key is invalid."},
        KnownMessage{1011, "The configuration registry key could not be opened."},
        KnownMessage{1012, "The configuration registry key could not be read."},
        KnownMessage{1013, "The configuration registry key could not be written."},
        KnownMessage{0x80004001u, "Not implemented"}, KnownMessage{0x80004002u, "No such interface supported"},
        KnownMessage{0x80004003u, "Invalid pointer"}, KnownMessage{0x80004004u, "Operation aborted"},
        KnownMessage{0x80004005u, "Unspecified error"}, KnownMessage{0x8000FFFFu, "Catastrophic failure"},
        KnownMessage{0x80070002u, "The system cannot find the file specified."},
        KnownMessage{0x80070005u, "Access is denied."},
        KnownMessage{0x8007000Eu, "Not enough memory resources are available to complete this operation."},
        KnownMessage{0x80070057u, "The parameter is incorrect."}),
    [](const ::testing::TestParamInfo<KnownMessage>& info) {
        char name[16];
        std::snprintf(name, sizeof name, "code_%X", info.param.code);
        return std::string(name);
    });

TEST(Messages, CodesWithoutTextGiveZeroAndNoBuffer) {
    // The data objects' own codes and other unlisted codes have no text, so callers' fallbacks apply.
    for (DWORD code : {1u, 1014u, 0x80040E14u, 0x80040E4Du, 0x80040E00u, 0x80040EFFu, 0x800A0BB9u, 0x800A0000u,
                       0x800AFFFFu, 0x80070003u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(allocated_message(code), "<none>");
    }
}

TEST(Messages, CallerBufferGetsTheTextOnlyWhenItFits) {
    // Without FORMAT_MESSAGE_ALLOCATE_BUFFER the text and its zero go into the caller's buffer, or nothing at all.
    const std::string expected = "Access is denied.\r\n";
    char buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    EXPECT_EQ(FormatMessageA(system_flags, nullptr, 5, 0, buffer, static_cast<DWORD>(expected.size()), nullptr), 0u);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(FormatMessageA(system_flags, nullptr, 5, 0, buffer, static_cast<DWORD>(expected.size() + 1), nullptr),
              expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(buffer[expected.size() + 1], '#');
}

TEST(Messages, OnlyTheSystemTableIsServed) {
    // Without FORMAT_MESSAGE_FROM_SYSTEM there is no source to format from.
    char* text = nullptr;
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 5, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

} // namespace

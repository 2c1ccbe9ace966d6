#include "platform/net/AddressText.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ostream>

#include <cstring>

namespace {

UnicastAddress parse(int family, const char* text, ULONG scopeId = 0) {
    UnicastAddress address;
    address.family = family == AF_INET ? WS_AF_INET : WS_AF_INET6;
    address.scopeId = scopeId;
    EXPECT_EQ(inet_pton(family, text, address.bytes.data()), 1) << text;
    return address;
}

struct TextCase {
    const char* name;
    int family;
    const char* input;
    ULONG scopeId;
    const char* expected;
};

// The row as test names and failure messages show it.
void PrintTo(const TextCase& row, std::ostream* out) {
    *out << row.name;
}

class AddressTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(AddressTextTest, WritesTheTextAndItsLengthWithTerminator) {
    // The text Windows Sockets gives for the socket address, and the written length counting the terminator.
    const TextCase& row = GetParam();
    char buffer[128];
    std::memset(buffer, 0xbd, sizeof(buffer));
    DWORD length = sizeof(buffer);
    ASSERT_EQ(WSAAddressToStringA(parse(row.family, row.input, row.scopeId), buffer, &length), 0);
    EXPECT_STREQ(buffer, row.expected);
    EXPECT_EQ(length, std::strlen(row.expected) + 1);
    EXPECT_EQ(static_cast<unsigned char>(buffer[length]), 0xbd);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AddressTextTest,
    testing::Values(TextCase{"Ipv4DottedDecimal", AF_INET, "192.0.2.33", 0, "192.0.2.33"},
                    TextCase{"Ipv4Zero", AF_INET, "0.0.0.0", 0, "0.0.0.0"},
                    TextCase{"Ipv4Broadcast", AF_INET, "255.255.255.255", 0, "255.255.255.255"},
                    TextCase{"Ipv6Compressed", AF_INET6, "2001:0db8:0000:0000:0000:0000:0000:0001", 0, "2001:db8::1"},
                    TextCase{"Ipv6LinkLocalWithZone", AF_INET6, "fe80::a:b", 7, "fe80::a:b%7"},
                    TextCase{"Ipv6LargestZone", AF_INET6, "fe80::1", 4294967295u, "fe80::1%4294967295"},
                    TextCase{"Ipv6Loopback", AF_INET6, "::1", 0, "::1"},
                    TextCase{"Ipv6Mapped", AF_INET6, "::ffff:192.0.2.1", 0, "::ffff:192.0.2.1"},
                    TextCase{"Ipv6Longest", AF_INET6, "1234:5678:9abc:def0:1234:5678:9abc:def0", 0,
                             "1234:5678:9abc:def0:1234:5678:9abc:def0"}),
    [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

TEST(AddressText, TooSmallBufferReportsTheLengthNeededAndWritesNothing) {
    // WSAEFAULT with the size needed, terminator included; not one byte of the buffer changes.
    char buffer[8];
    std::memset(buffer, 0xbd, sizeof(buffer));
    UnicastAddress address = parse(AF_INET6, "fe80::1", 12);
    DWORD length = 10; // "fe80::1%12" needs 11 with its terminator
    SetLastError(0);
    EXPECT_EQ(WSAAddressToStringA(address, buffer, &length), SOCKET_ERROR);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAEFAULT));
    EXPECT_EQ(length, 11u);
    for (char c : buffer)
        EXPECT_EQ(static_cast<unsigned char>(c), 0xbd);

    char exact[11];
    length = sizeof(exact);
    EXPECT_EQ(WSAAddressToStringA(address, exact, &length), 0);
    EXPECT_STREQ(exact, "fe80::1%12");
}

TEST(AddressText, UnknownFamilyAndNullArgumentsAreInvalid) {
    // Neither an unknown family nor a missing buffer or length produces text.
    char buffer[64] = "marker";
    DWORD length = sizeof(buffer);
    UnicastAddress address;
    address.family = 17;
    SetLastError(0);
    EXPECT_EQ(WSAAddressToStringA(address, buffer, &length), SOCKET_ERROR);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAEINVAL));
    EXPECT_STREQ(buffer, "marker");
    EXPECT_EQ(length, sizeof(buffer));
    EXPECT_EQ(WSAAddressToStringA(parse(AF_INET, "10.0.0.1"), nullptr, &length), SOCKET_ERROR);
    EXPECT_EQ(WSAAddressToStringA(parse(AF_INET, "10.0.0.1"), buffer, nullptr), SOCKET_ERROR);
}

} // namespace

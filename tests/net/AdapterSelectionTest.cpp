#include "registration/AdapterSelection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

UnicastAddress v4(const char* text) {
    UnicastAddress address;
    address.family = WS_AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, text, address.bytes.data()), 1) << text;
    return address;
}

UnicastAddress v6(const char* text, ULONG scopeId = 0) {
    UnicastAddress address;
    address.family = WS_AF_INET6;
    address.scopeId = scopeId;
    EXPECT_EQ(inet_pton(AF_INET6, text, address.bytes.data()), 1) << text;
    return address;
}

AdapterAddresses adapter(DWORD ifType, std::vector<UnicastAddress> addresses, DWORD flags = 0) {
    static ULONG nextIndex = 1;
    AdapterAddresses result;
    result.ifIndex = nextIndex++;
    result.ifType = ifType;
    result.flags = flags;
    result.unicastAddresses = std::move(addresses);
    return result;
}

CString select(const std::vector<AdapterAddresses>& adapters) {
    return SelectLocalIPAddress(adapters);
}

TEST(AdapterSelection, DhcpConfiguredAdapterIsSkippedWithAllItsAddresses) {
    // The DHCP flag excludes the whole adapter, its static-looking IPv6 address included.
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v4("10.0.0.1"), v6("2001:db8::1")}, IP_ADAPTER_DHCP_ENABLED),
                      adapter(IF_TYPE_ETHERNET_CSMACD, {v4("10.0.0.2")})}),
              "10.0.0.2");
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v6("2001:db8::1")}, IP_ADAPTER_DHCP_ENABLED)}), "");
}

TEST(AdapterSelection, AllAdaptersDhcpConfiguredGivesEmptyText) {
    // However many addresses there are, a machine configured entirely by DHCP has no address to register.
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v4("10.0.0.1"), v4("10.0.0.3")}, IP_ADAPTER_DHCP_ENABLED),
                      adapter(IF_TYPE_IEEE80211, {v4("10.0.1.1"), v6("fe80::1", 3)}, IP_ADAPTER_DHCP_ENABLED),
                      adapter(IF_TYPE_PPP, {v4("10.0.2.1")}, IP_ADAPTER_DHCP_ENABLED | 0x1)}),
              "");
}

TEST(AdapterSelection, InterfaceTypeIsABitTestNotAComparisonWithEthernet) {
    // PPP (23), IEEE 802.11 (71) and any type with bits 0x2 and 0x4 set qualify; types lacking either bit do not.
    EXPECT_EQ(select({adapter(IF_TYPE_PPP, {v4("10.0.0.23")})}), "10.0.0.23");
    EXPECT_EQ(select({adapter(IF_TYPE_IEEE80211, {v4("10.0.0.71")})}), "10.0.0.71");
    EXPECT_EQ(select({adapter(22, {v4("10.0.0.22")})}), "10.0.0.22");
    EXPECT_EQ(select({adapter(7, {v4("10.0.0.7")})}), "10.0.0.7");
    EXPECT_EQ(select({adapter(20, {v4("10.0.0.20")}), adapter(2, {v4("10.0.0.2")}), adapter(4, {v4("10.0.0.4")})}), "");
}

TEST(AdapterSelection, LoopbackTunnelAndIeee1394AreNeverUsed) {
    // 24, 131 and 144 fail the bit test even when listed first and holding the only IPv4 addresses.
    const std::vector<AdapterAddresses> adapters{
        adapter(IF_TYPE_SOFTWARE_LOOPBACK, {v4("127.0.0.1"), v6("::1")}),
        adapter(IF_TYPE_TUNNEL, {v4("10.8.0.1")}),
        adapter(IF_TYPE_IEEE1394, {v4("169.254.1.1")}),
        adapter(IF_TYPE_ETHERNET_CSMACD, {v6("2001:db8::6")}),
    };
    EXPECT_EQ(select(adapters), "2001:db8::6");
    EXPECT_EQ(select({adapters[0], adapters[1], adapters[2]}), "");
}

TEST(AdapterSelection, ListOrderDecidesNotTheInterfaceType) {
    // A static Wi-Fi adapter listed before a static Ethernet adapter wins.
    EXPECT_EQ(select({adapter(IF_TYPE_IEEE80211, {v4("192.168.1.71")}),
                      adapter(IF_TYPE_ETHERNET_CSMACD, {v4("192.168.1.6")})}),
              "192.168.1.71");
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v4("192.168.1.6")}),
                      adapter(IF_TYPE_IEEE80211, {v4("192.168.1.71")})}),
              "192.168.1.6");
}

TEST(AdapterSelection, Ipv4IsPreferredOverIpv6OnOneAdapterAndAcrossTheList) {
    // IPv6-then-IPv4 on one adapter gives the IPv4; an IPv4 address on a later adapter beats an earlier IPv6 one,
    // so the walk does not stop at its first find.
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v6("2001:db8::1"), v4("10.0.0.1")})}), "10.0.0.1");
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v6("2001:db8::1")}),
                      adapter(IF_TYPE_ETHERNET_CSMACD, {v6("2001:db8::2")}),
                      adapter(IF_TYPE_ETHERNET_CSMACD, {v4("10.0.0.3")})}),
              "10.0.0.3");
}

TEST(AdapterSelection, FirstAddressOfEachFamilyIsKept) {
    // Later addresses never replace the first IPv4 or the first IPv6 text found.
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v4("10.0.0.1"), v4("10.0.0.2")}),
                      adapter(IF_TYPE_ETHERNET_CSMACD, {v4("10.0.0.3")})}),
              "10.0.0.1");
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v6("2001:db8::a"), v6("2001:db8::b")}),
                      adapter(IF_TYPE_ETHERNET_CSMACD, {v6("2001:db8::c")})}),
              "2001:db8::a");
}

TEST(AdapterSelection, ZeroAddressIsSkipped) {
    // "0.0.0.0" is never held, so the next address (or the IPv6 fallback) is used instead.
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v4("0.0.0.0"), v4("10.0.0.9")})}), "10.0.0.9");
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v4("0.0.0.0"), v6("2001:db8::9")})}), "2001:db8::9");
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v4("0.0.0.0")})}), "");
}

TEST(AdapterSelection, ZoneSuffixIsCutAtThePercentSign) {
    // A link-local address converts to "fe80::1%<scope>"; the text ends before the "%".
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v6("fe80::1", 12)})}), "fe80::1");
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {v6("fe80::1234:5678", 4294967295u)})}), "fe80::1234:5678");
}

TEST(AdapterSelection, UnconvertibleAddressesAndEmptyListsGiveNothing) {
    // An address of an unknown family fails conversion and is passed over; nothing at all gives the empty text.
    UnicastAddress unknown;
    unknown.family = 17;
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {unknown, v4("10.0.0.5")})}), "10.0.0.5");
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {unknown})}), "");
    EXPECT_EQ(select({adapter(IF_TYPE_ETHERNET_CSMACD, {})}), "");
    EXPECT_EQ(select({}), "");
}

} // namespace

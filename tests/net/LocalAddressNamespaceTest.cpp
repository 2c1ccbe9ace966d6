// GetLocalIPAddress and the adapter list on the real kernel, inside network namespaces made for each case.
#include "platform/net/AddressText.h"
#include "platform/net/NetworkAdapters.h"
#include "registration/Registration.h"
#include "tests/net/NetNamespace.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// One line per adapter: "<name> type=<ifType> dhcp=<0|1> <address> <address> ...".
std::string describe(const std::optional<std::vector<AdapterAddresses>>& adapters) {
    if (!adapters)
        return "<no list>";
    std::ostringstream out;
    for (const AdapterAddresses& adapter : *adapters) {
        out << adapter.adapterName << " type=" << adapter.ifType
            << " dhcp=" << ((adapter.flags & IP_ADAPTER_DHCP_ENABLED) ? 1 : 0);
        for (const UnicastAddress& address : adapter.unicastAddresses) {
            char text[128] = {};
            DWORD length = sizeof(text);
            out << " " << (WSAAddressToStringA(address, text, &length) == 0 ? text : "<unconvertible>");
        }
        out << "\n";
    }
    return out.str();
}

class LocalAddressNamespace : public testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        m_ns = NetNamespace::Create(reason);
        if (!m_ns)
            GTEST_SKIP() << "skipped: " << reason;
    }

    void Ip(const std::vector<std::string>& args) { ASSERT_TRUE(m_ns->Ip(args)) << "ip -n <ns> " << args[0]; }

    std::string LocalAddress() const {
        return m_ns->RunInside([] { return "[" + GetLocalIPAddress() + "]"; });
    }

    std::string Adapters(AdapterEnumerationOptions options = DefaultAdapterEnumerationOptions()) const {
        return m_ns->RunInside([options] { return describe(EnumerateAdapters(options)); });
    }

    std::unique_ptr<NetNamespace> m_ns;
};

TEST_F(LocalAddressNamespace, FreshNamespaceWithLoopbackOnlyGivesEmptyText) {
    // The loopback adapter, up with 127.0.0.1 and ::1, is never used.
    Ip({"link", "set", "lo", "up"});
    EXPECT_EQ(Adapters(), "lo type=24 dhcp=0 127.0.0.1 ::1\n");
    EXPECT_EQ(LocalAddress(), "[]");
}

TEST_F(LocalAddressNamespace, AdaptersComeInIndexOrderWithTheirKernelAddressOrder) {
    // Interface-index order whatever order the addresses were added in; per adapter IPv4 before IPv6, the link-local
    // address with its zone (the interface index).
    Ip({"link", "add", "br0", "type", "bridge"});
    Ip({"link", "add", "br1", "type", "bridge"});
    Ip({"addr", "add", "2001:db8:1::1/64", "dev", "br1", "nodad"});
    Ip({"addr", "add", "10.0.1.1/24", "dev", "br1"});
    Ip({"addr", "add", "10.0.0.1/24", "dev", "br0"});
    Ip({"addr", "add", "fe80::5/64", "dev", "br0", "nodad"});
    EXPECT_EQ(Adapters(), "lo type=24 dhcp=0\n"
                          "br0 type=6 dhcp=0 10.0.0.1 fe80::5%2\n"
                          "br1 type=6 dhcp=0 10.0.1.1 2001:db8:1::1\n");
    EXPECT_EQ(LocalAddress(), "[10.0.0.1]");
}

TEST_F(LocalAddressNamespace, AddressWithLeaseLifetimeMarksTheAdapterDhcpConfigured) {
    // valid_lft 300 is what a DHCP client installs: that adapter is skipped, IPv6 included; the static one wins.
    Ip({"link", "add", "dyn0", "type", "veth", "peer", "name", "dyn0p"});
    Ip({"link", "add", "fix0", "type", "bridge"});
    Ip({"addr", "add", "10.1.0.1/24", "dev", "dyn0", "valid_lft", "300", "preferred_lft", "300"});
    Ip({"addr", "add", "2001:db8:2::1/64", "dev", "dyn0", "nodad"});
    Ip({"addr", "add", "10.1.1.1/24", "dev", "fix0"});
    const std::string adapters = Adapters();
    EXPECT_NE(adapters.find("dyn0 type=6 dhcp=1 10.1.0.1 2001:db8:2::1\n"), std::string::npos) << adapters;
    EXPECT_NE(adapters.find("fix0 type=6 dhcp=0 10.1.1.1\n"), std::string::npos) << adapters;
    EXPECT_EQ(LocalAddress(), "[10.1.1.1]");

    Ip({"addr", "flush", "dev", "fix0"});
    Ip({"addr", "add", "10.1.1.1/24", "dev", "fix0", "valid_lft", "300", "preferred_lft", "300"});
    EXPECT_EQ(LocalAddress(), "[]") << "every adapter DHCP-configured";
}

TEST_F(LocalAddressNamespace, TunnelIsNeverUsedEvenWhenListedFirst) {
    // A tun device (no link-layer header) is a tunnel adapter, 131, and fails the type test.
    Ip({"tuntap", "add", "dev", "tun0", "mode", "tun"});
    Ip({"tuntap", "add", "dev", "tap0", "mode", "tap"});
    Ip({"addr", "add", "10.2.0.1/24", "dev", "tun0"});
    Ip({"addr", "add", "10.2.1.1/24", "dev", "tap0"});
    const std::string adapters = Adapters();
    EXPECT_NE(adapters.find("tun0 type=131 dhcp=0 10.2.0.1\n"), std::string::npos) << adapters;
    EXPECT_NE(adapters.find("tap0 type=6 dhcp=0 10.2.1.1\n"), std::string::npos) << adapters;
    EXPECT_EQ(LocalAddress(), "[10.2.1.1]");

    Ip({"link", "del", "tap0"});
    EXPECT_EQ(LocalAddress(), "[]");
}

TEST_F(LocalAddressNamespace, LinkLocalIpv6IsTheFallbackWithoutItsZone) {
    // With no usable IPv4 address anywhere, the first IPv6 address is returned, cut before its "%<zone>".
    Ip({"link", "add", "v6a", "type", "veth", "peer", "name", "v6b"});
    Ip({"addr", "add", "fe80::1234/64", "dev", "v6a", "nodad"});
    Ip({"addr", "add", "2001:db8:3::9/64", "dev", "v6b", "nodad"});
    const std::string adapters = Adapters();
    EXPECT_NE(adapters.find(" fe80::1234%"), std::string::npos) << adapters;
    // veth creates the peer first, so v6b has the lower index and its address comes first.
    EXPECT_EQ(LocalAddress(), "[2001:db8:3::9]");
    Ip({"addr", "flush", "dev", "v6b"});
    EXPECT_EQ(LocalAddress(), "[fe80::1234]");
}

TEST_F(LocalAddressNamespace, Ipv4OnALaterAdapterBeatsIpv6OnAnEarlierOne) {
    // The walk goes on to the end of the list: an IPv4 address found late still wins over the first IPv6 one.
    Ip({"link", "add", "br0", "type", "bridge"});
    Ip({"link", "add", "br1", "type", "bridge"});
    Ip({"link", "add", "br2", "type", "bridge"});
    Ip({"addr", "add", "2001:db8:4::1/64", "dev", "br0", "nodad"});
    Ip({"addr", "add", "2001:db8:4::2/64", "dev", "br1", "nodad"});
    Ip({"addr", "add", "10.4.0.3/24", "dev", "br2"});
    EXPECT_EQ(LocalAddress(), "[10.4.0.3]");
}

TEST_F(LocalAddressNamespace, NetworkdLeaseNamingTheAddressMarksTheAdapterDhcpConfigured) {
    // networkd's KeepConfiguration=dhcp installs the lease forever; its runtime lease file still names the address.
    Ip({"link", "add", "br0", "type", "bridge"});
    Ip({"addr", "add", "10.5.0.7/24", "dev", "br0"});
    const std::filesystem::path leases = std::filesystem::temp_directory_path() / ("enl-net-leases-" + m_ns->name());
    std::filesystem::create_directories(leases);
    AdapterEnumerationOptions options = DefaultAdapterEnumerationOptions();
    options.networkdLeaseDirectory = leases.string();

    std::ofstream(leases / "2") << "# This is private data. Do not parse.\nADDRESS=10.5.0.8\nNETMASK=255.255.255.0\n";
    EXPECT_EQ(Adapters(options), "lo type=24 dhcp=0\nbr0 type=6 dhcp=0 10.5.0.7\n") << "lease names another address";
    std::ofstream(leases / "2") << "ADDRESS=10.5.0.7\nNETMASK=255.255.255.0\n";
    EXPECT_EQ(Adapters(options), "lo type=24 dhcp=0\nbr0 type=6 dhcp=1 10.5.0.7\n");
    std::filesystem::remove_all(leases);
}

TEST_F(LocalAddressNamespace, WirelessLinkIsRecognisedOnlyFromItsOwnSysfsEntry) {
    // phy80211 under the link's sysfs entry makes an Ethernet-framed link IEEE 802.11 (71), but only when the
    // entry's ifindex is the link's: a sysfs of another namespace is not trusted.
    Ip({"link", "add", "wl0", "type", "bridge"});
    Ip({"addr", "add", "10.6.0.1/24", "dev", "wl0"});
    const std::filesystem::path sys = std::filesystem::temp_directory_path() / ("enl-net-sys-" + m_ns->name());
    std::filesystem::create_directories(sys / "wl0" / "phy80211");
    AdapterEnumerationOptions options = DefaultAdapterEnumerationOptions();
    options.sysClassNet = sys.string();

    std::ofstream(sys / "wl0" / "ifindex") << "2\n";
    EXPECT_EQ(Adapters(options), "lo type=24 dhcp=0\nwl0 type=71 dhcp=0 10.6.0.1\n");
    std::ofstream(sys / "wl0" / "ifindex") << "9\n";
    EXPECT_EQ(Adapters(options), "lo type=24 dhcp=0\nwl0 type=6 dhcp=0 10.6.0.1\n");
    std::filesystem::remove_all(sys);
}

TEST_F(LocalAddressNamespace, InjectedInterruptedDumpIsRetriedOnAFreshSnapshot) {
    // A dump the kernel flags as interrupted (NLM_F_DUMP_INTR) is discarded and the enumeration starts again.
    Ip({"link", "add", "br0", "type", "bridge"});
    Ip({"addr", "add", "10.7.0.1/24", "dev", "br0"});
    const std::string result = m_ns->RunInside([] {
        AdapterEnumerationOptions options = DefaultAdapterEnumerationOptions();
        int datagrams = 0;
        options.afterReceive = [&datagrams](std::span<std::byte> datagram) {
            if (datagrams++ == 0 && datagram.size() >= sizeof(nlmsghdr))
                reinterpret_cast<nlmsghdr*>(datagram.data())->nlmsg_flags |= NLM_F_DUMP_INTR;
        };
        const std::string adapters = describe(EnumerateAdapters(options));
        return adapters + "datagrams>1:" + std::to_string(datagrams > 1);
    });
    EXPECT_EQ(result, "lo type=24 dhcp=0\nbr0 type=6 dhcp=0 10.7.0.1\ndatagrams>1:1");
}

TEST_F(LocalAddressNamespace, InjectedDumpInterruptedOnEveryAttemptGivesNoListAndEmptyText) {
    // After maxAttempts interrupted snapshots the enumeration fails, and the selection gets nothing to pick from.
    Ip({"link", "add", "br0", "type", "bridge"});
    Ip({"addr", "add", "10.8.0.1/24", "dev", "br0"});
    const std::string result = m_ns->RunInside([] {
        AdapterEnumerationOptions options = DefaultAdapterEnumerationOptions();
        int datagrams = 0;
        options.afterReceive = [&datagrams](std::span<std::byte> datagram) {
            ++datagrams;
            if (datagram.size() >= sizeof(nlmsghdr))
                reinterpret_cast<nlmsghdr*>(datagram.data())->nlmsg_flags |= NLM_F_DUMP_INTR;
        };
        const std::string adapters = describe(EnumerateAdapters(options));
        return adapters + " datagrams=" + std::to_string(datagrams);
    });
    EXPECT_EQ(result, "<no list> datagrams=3");
}

} // namespace

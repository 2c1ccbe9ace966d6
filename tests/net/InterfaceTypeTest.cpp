#include "platform/net/NetworkAdapters.h"

#include <gtest/gtest.h>
#include <net/if_arp.h>
#include <ostream>

namespace {

struct TypeCase {
    const char* name;
    unsigned linkType;
    bool wireless;
    DWORD ifType;
};

// The row as test names and failure messages show it.
void PrintTo(const TypeCase& row, std::ostream* out) {
    *out << row.name;
}

class InterfaceTypeTest : public testing::TestWithParam<TypeCase> {};

TEST_P(InterfaceTypeTest, MapsTheLinkToItsIanaType) {
    // Source: IANA ifType-MIB numbers; ARPHRD_* values from <net/if_arp.h>.
    const TypeCase& row = GetParam();
    EXPECT_EQ(InterfaceTypeFromLink(row.linkType, row.wireless), row.ifType);
}

INSTANTIATE_TEST_SUITE_P(
    Links, InterfaceTypeTest,
    testing::Values(TypeCase{"Ethernet", ARPHRD_ETHER, false, 6}, TypeCase{"WirelessEthernet", ARPHRD_ETHER, true, 71},
                    TypeCase{"Ieee80211Monitor", ARPHRD_IEEE80211_RADIOTAP, false, 71},
                    TypeCase{"Ppp", ARPHRD_PPP, false, 23}, TypeCase{"Loopback", ARPHRD_LOOPBACK, false, 24},
                    TypeCase{"IpipTunnel", ARPHRD_TUNNEL, false, 131}, TypeCase{"Sit", ARPHRD_SIT, false, 131},
                    TypeCase{"Gre", ARPHRD_IPGRE, false, 131}, TypeCase{"TunOrWireGuard", ARPHRD_NONE, false, 131},
                    TypeCase{"Ieee1394", ARPHRD_IEEE1394, false, 144},
                    TypeCase{"Infiniband", ARPHRD_INFINIBAND, false, 199},
                    TypeCase{"CellularRawIp", ARPHRD_RAWIP, false, 243}, TypeCase{"Slip", ARPHRD_SLIP, false, 28},
                    TypeCase{"Can", 280, false, 1}, TypeCase{"Void", ARPHRD_VOID, false, 1}),
    [](const testing::TestParamInfo<TypeCase>& info) { return info.param.name; });

} // namespace

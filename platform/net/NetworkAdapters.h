// The machine's network adapters as the address selection sees them: the stand-in for the adapter list of the IP
// helper interface, read from rtnetlink.
#pragma once

#include "common/Text.h"
#include "platform/win32/Win32.h"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

// Address families with their Windows Sockets numbers (AF_INET6 is 23 there, 10 on Linux). Prefixed as Wine does,
// so they never collide with the host's AF_* macros.
inline constexpr WORD WS_AF_INET = 2;
inline constexpr WORD WS_AF_INET6 = 23;

// Adapter flag: the adapter takes its IPv4 configuration from a DHCP server.
inline constexpr DWORD IP_ADAPTER_DHCP_ENABLED = 0x4;

// IANA ifType numbers that Linux links are mapped to.
inline constexpr DWORD IF_TYPE_OTHER = 1;
inline constexpr DWORD IF_TYPE_ETHERNET_CSMACD = 6;
inline constexpr DWORD IF_TYPE_ISO88025_TOKENRING = 9;
inline constexpr DWORD IF_TYPE_FDDI = 15;
inline constexpr DWORD IF_TYPE_PPP = 23;
inline constexpr DWORD IF_TYPE_SOFTWARE_LOOPBACK = 24;
inline constexpr DWORD IF_TYPE_SLIP = 28;
inline constexpr DWORD IF_TYPE_ATM = 37;
inline constexpr DWORD IF_TYPE_IEEE80211 = 71;
inline constexpr DWORD IF_TYPE_TUNNEL = 131;
inline constexpr DWORD IF_TYPE_IEEE1394 = 144;
inline constexpr DWORD IF_TYPE_INFINIBAND = 199;
inline constexpr DWORD IF_TYPE_WWANPP = 243;
inline constexpr DWORD IF_TYPE_IEEE802154 = 259;

// One unicast address of an adapter: the family (WS_AF_INET or WS_AF_INET6), the address bytes in network order (4
// or 16 of them) and, for IPv6, the zone (scope id) that Windows Sockets would carry in the socket address.
struct UnicastAddress {
    WORD family = 0;
    std::array<BYTE, 16> bytes{};
    ULONG scopeId = 0;
};

struct AdapterAddresses {
    ULONG ifIndex = 0;
    CString adapterName;
    DWORD flags = 0;  // IP_ADAPTER_DHCP_ENABLED or 0
    DWORD ifType = 0; // IANA ifType
    std::vector<UnicastAddress> unicastAddresses;
};

// How one enumeration reads the system. The defaults read the live kernel and files; tests point the file paths
// at their own trees and inject faults into what the kernel sends.
struct AdapterEnumerationOptions {
    // Number of complete attempts when the kernel reports that a dump was interrupted by a concurrent change.
    int maxAttempts = 3;
    // Directory of systemd-networkd's runtime DHCPv4 lease files (one per interface index); empty: not consulted.
    CString networkdLeaseDirectory;
    // The sysfs net class directory, used to tell wireless links apart; empty: no link is taken as wireless.
    CString sysClassNet;
    // Called with every datagram received from the kernel before it is parsed; may alter it (fault injection).
    std::function<void(std::span<std::byte> datagram)> afterReceive;
};

// The options of a real enumeration: the networkd lease directory only when this process shares the network
// namespace of PID 1 (networkd's interface indexes are those of that namespace), and /sys/class/net.
AdapterEnumerationOptions DefaultAdapterEnumerationOptions();

// The adapters in interface-index order, each with its unicast addresses in the kernel's order (IPv4 ones before
// IPv6 ones, each family in the order the kernel keeps it). No value when the kernel cannot be asked, answers with
// an error, or every attempt was interrupted by concurrent changes.
std::optional<std::vector<AdapterAddresses>> EnumerateAdapters(const AdapterEnumerationOptions& options);

// EnumerateAdapters with the default options.
std::optional<std::vector<AdapterAddresses>> GetAdapterList();

// The IANA ifType of a link from its ARPHRD_* hardware type and whether it is an IEEE 802.11 link.
DWORD InterfaceTypeFromLink(unsigned linkType, bool wireless);

// Adapter enumeration over rtnetlink.
//
// libmnl, not raw netlink nor libnl-route-3: libmnl performs exactly the checks that are easy to get wrong by hand
// (the sequence number and port of every reply, attribute lengths, truncated datagrams, the interrupted-dump flag)
// in a handful of calls and keeps the two dumps visible as messages and attributes; libnl-route's object caches
// would add a second model of the same two dumps and many times the code behind it.
//
// "IPv4 configured by DHCP" on Linux. There is no per-link "DHCP enabled" switch in the kernel; the sign a DHCP
// client leaves is the lifetime of the address it installs. An IPv4 address with a finite valid lifetime (the kernel
// then clears IFA_F_PERMANENT; `ip addr` shows "dynamic") has no other source: the kernel itself never gives IPv4
// addresses a lifetime, and static configuration (ifupdown, networkd [Address], NetworkManager manual, iproute2)
// installs them "forever". What the common clients really do:
// - systemd-networkd: the DHCPv4 address gets the lease's lifetime, except with KeepConfiguration=dhcp (formerly
//   CriticalConnection=yes), where it is installed forever. networkd then still keeps the lease in
//   /run/systemd/netif/leases/<ifindex> (runtime state, removed when the lease is dropped) with ADDRESS=<address>;
//   a link whose IPv4 address is named there counts as DHCP-configured too.
// - NetworkManager (internal client and dhclient back end): the lease's lifetime. It sets IFA_F_NOPREFIXROUTE on
//   every address it manages, static ones included, so that flag says nothing about DHCP and is not used.
// - dhcpcd (since it sets IPv4 lifetimes on Linux): the lease's lifetime, except with "lastleaseextend", where
//   the address is made permanent; dhcpcd also sets IFA_F_NOPREFIXROUTE, for the same reason as NetworkManager.
// - Debian's dhclient-script: `ip -4 addr add ... valid_lft $new_dhcp_lease_time preferred_lft ...`, the lease's
//   lifetime.
// Not recognisable, and therefore taken as static: a lease of infinite duration (0xffffffff seconds), dhcpcd's
// lastleaseextend, older clients that installed leases forever, and the kernel's own boot-time autoconfiguration
// (ip=dhcp), which installs its address forever. IFA_PROTO carries no DHCP value that clients set, so it is not used.
// A link whose client has not obtained a lease yet has no IPv4 address and is not flagged: unlike Windows, Linux
// keeps no record that the link is meant for DHCP.
//
// Interface types: the link's ARPHRD_* hardware type mapped to the IANA ifType Windows reports for the same kind of
// adapter (InterfaceTypeFromLink). Wireless links share ARPHRD_ETHER with wired ones; sysfs tells them apart
// (/sys/class/net/<name>/phy80211 for cfg80211 drivers, /sys/class/net/<name>/wireless for wireless-extensions
// drivers). sysfs shows the network namespace of whoever mounted it, so the entry is used only when its ifindex
// matches the link's.
#include "platform/net/NetworkAdapters.h"

#include <dirent.h>
#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#ifndef ARPHRD_ATM
#define ARPHRD_ATM 19
#endif
#ifndef ARPHRD_IP6GRE
#define ARPHRD_IP6GRE 823
#endif

namespace {

struct MnlSocketCloser {
    void operator()(mnl_socket* socket) const noexcept { mnl_socket_close(socket); }
};
using MnlSocket = std::unique_ptr<mnl_socket, MnlSocketCloser>;

// The kernel fills dump datagrams up to 32 KiB when the reader offers that much; a smaller buffer truncates them.
constexpr std::size_t kReceiveBufferSize = 32768;

struct LinkRecord {
    ULONG index = 0;
    CString name;
    unsigned type = 0;
};

struct AddressRecord {
    ULONG index = 0;
    WORD family = 0;
    std::array<BYTE, 16> bytes{};
    std::uint32_t flags = 0;
};

struct DumpState {
    std::vector<LinkRecord> links;
    std::vector<AddressRecord> addresses;
};

enum class DumpOutcome { Complete, Interrupted, Failed };

struct AttributeTable {
    static constexpr int kSize = 64;
    const nlattr* entries[kSize] = {};
};

int collect_attribute(const nlattr* attribute, void* data) {
    auto& table = *static_cast<AttributeTable*>(data);
    const int type = mnl_attr_get_type(attribute);
    if (type >= 0 && type < AttributeTable::kSize)
        table.entries[type] = attribute;
    return MNL_CB_OK;
}

int on_link(const nlmsghdr* message, void* data) {
    if (message->nlmsg_type != RTM_NEWLINK)
        return MNL_CB_OK;
    if (mnl_nlmsg_get_payload_len(message) < sizeof(ifinfomsg))
        return MNL_CB_ERROR;
    const auto* header = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(message));
    AttributeTable attributes;
    if (mnl_attr_parse(message, sizeof(ifinfomsg), collect_attribute, &attributes) < 0)
        return MNL_CB_ERROR;

    LinkRecord link;
    link.index = static_cast<ULONG>(header->ifi_index);
    link.type = header->ifi_type;
    if (const nlattr* name = attributes.entries[IFLA_IFNAME]; name && mnl_attr_validate(name, MNL_TYPE_NUL_STRING) >= 0)
        link.name = mnl_attr_get_str(name);
    static_cast<DumpState*>(data)->links.push_back(std::move(link));
    return MNL_CB_OK;
}

int on_address(const nlmsghdr* message, void* data) {
    if (message->nlmsg_type != RTM_NEWADDR)
        return MNL_CB_OK;
    if (mnl_nlmsg_get_payload_len(message) < sizeof(ifaddrmsg))
        return MNL_CB_ERROR;
    const auto* header = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(message));
    std::size_t length = 0;
    WORD family = 0;
    if (header->ifa_family == AF_INET) {
        length = 4;
        family = WS_AF_INET;
    } else if (header->ifa_family == AF_INET6) {
        length = 16;
        family = WS_AF_INET6;
    } else {
        return MNL_CB_OK;
    }
    AttributeTable attributes;
    if (mnl_attr_parse(message, sizeof(ifaddrmsg), collect_attribute, &attributes) < 0)
        return MNL_CB_ERROR;

    // IFA_LOCAL is the interface's own address; IFA_ADDRESS is the peer's on a point-to-point link and equals
    // IFA_LOCAL elsewhere. IPv6 sends IFA_LOCAL only when a peer is configured.
    const nlattr* address =
        attributes.entries[IFA_LOCAL] ? attributes.entries[IFA_LOCAL] : attributes.entries[IFA_ADDRESS];
    if (!address || mnl_attr_get_payload_len(address) != length)
        return MNL_CB_OK;

    AddressRecord record;
    record.index = header->ifa_index;
    record.family = family;
    std::memcpy(record.bytes.data(), mnl_attr_get_payload(address), length);
    record.flags = header->ifa_flags;
    // IFA_FLAGS extends the 8-bit ifa_flags with the flags that do not fit there.
    if (const nlattr* flags = attributes.entries[IFA_FLAGS]; flags && mnl_attr_validate(flags, MNL_TYPE_U32) >= 0)
        record.flags = mnl_attr_get_u32(flags);
    static_cast<DumpState*>(data)->addresses.push_back(record);
    return MNL_CB_OK;
}

bool datagram_interrupted(const void* datagram, int length) {
    for (auto* message = static_cast<const nlmsghdr*>(datagram); mnl_nlmsg_ok(message, length);
         message = mnl_nlmsg_next(message, &length)) {
        if (message->nlmsg_flags & NLM_F_DUMP_INTR)
            return true;
    }
    return false;
}

// Sends one dump request of the given type (for both address families) and feeds every reply to the callback.
DumpOutcome run_dump(mnl_socket* socket, std::uint16_t type, std::uint32_t sequence, mnl_cb_t callback,
                     DumpState& state, const AdapterEnumerationOptions& options) {
    alignas(nlmsghdr) std::array<char, 256> request{};
    nlmsghdr* message = mnl_nlmsg_put_header(request.data());
    message->nlmsg_type = type;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message->nlmsg_seq = sequence;
    // The request carries the family header of its kind (ifinfomsg, ifaddrmsg), zeroed: AF_UNSPEC, both families.
    const std::size_t headerSize = type == RTM_GETLINK ? sizeof(ifinfomsg) : sizeof(ifaddrmsg);
    (void)mnl_nlmsg_put_extra_header(message, headerSize);
    if (mnl_socket_sendto(socket, message, message->nlmsg_len) < 0)
        return DumpOutcome::Failed;

    const unsigned portId = mnl_socket_get_portid(socket);
    std::vector<char> buffer(kReceiveBufferSize);
    for (;;) {
        const ssize_t received = mnl_socket_recvfrom(socket, buffer.data(), buffer.size());
        if (received < 0) {
            if (errno == EINTR)
                continue;
            return DumpOutcome::Failed;
        }
        if (options.afterReceive)
            options.afterReceive(std::as_writable_bytes(std::span(buffer.data(), static_cast<std::size_t>(received))));
        // libmnl stops at an interrupted message too, but reports it as errno EINTR, which a kernel error reply
        // could also carry; looking at the flag first keeps the two apart.
        if (datagram_interrupted(buffer.data(), static_cast<int>(received)))
            return DumpOutcome::Interrupted;
        const int result =
            mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), sequence, portId, callback, &state);
        if (result == MNL_CB_STOP)
            return DumpOutcome::Complete;
        if (result < 0)
            return DumpOutcome::Failed;
    }
}

bool file_exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// The names listed in a directory; empty when it cannot be read. One listing replaces a failed lookup per link.
std::unordered_set<std::string> directory_entries(const CString& directory) {
    std::unordered_set<std::string> names;
    if (directory.empty())
        return names;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory.c_str()), ::closedir);
    if (!listing)
        return names;
    while (const dirent* entry = ::readdir(listing.get()))
        names.emplace(entry->d_name);
    return names;
}

bool is_wireless(const CString& sysClassNet, const std::unordered_set<std::string>& sysfsLinks,
                 const LinkRecord& link) {
    if (link.type != ARPHRD_ETHER || !sysfsLinks.count(link.name))
        return false;
    const std::string directory = sysClassNet + "/" + link.name;
    if (!file_exists(directory + "/phy80211") && !file_exists(directory + "/wireless"))
        return false;
    std::ifstream indexFile(directory + "/ifindex");
    unsigned long index = 0;
    return (indexFile >> index) && index == link.index;
}

CString ipv4_text(const std::array<BYTE, 16>& bytes) {
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}

// Whether systemd-networkd holds a DHCPv4 lease for this interface index naming one of the given IPv4 addresses.
bool networkd_lease_names(const CString& leaseDirectory, const std::unordered_set<std::string>& leases, ULONG index,
                          const std::vector<CString>& ipv4Texts) {
    if (ipv4Texts.empty() || !leases.count(std::to_string(index)))
        return false;
    std::ifstream lease(leaseDirectory + "/" + std::to_string(index));
    constexpr std::string_view kKey = "ADDRESS=";
    for (std::string line; std::getline(lease, line);) {
        if (line.compare(0, kKey.size(), kKey) != 0)
            continue;
        const std::string value = line.substr(kKey.size());
        return std::find(ipv4Texts.begin(), ipv4Texts.end(), value) != ipv4Texts.end();
    }
    return false;
}

bool is_ipv6_link_local(const std::array<BYTE, 16>& bytes) {
    return bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
}

std::vector<AdapterAddresses> assemble(DumpState& state, const AdapterEnumerationOptions& options) {
    std::stable_sort(state.links.begin(), state.links.end(),
                     [](const LinkRecord& a, const LinkRecord& b) { return a.index < b.index; });
    std::vector<AdapterAddresses> adapters;
    adapters.reserve(state.links.size());
    std::unordered_map<ULONG, std::size_t> position;
    const std::unordered_set<std::string> sysfsLinks = directory_entries(options.sysClassNet);
    for (const LinkRecord& link : state.links) {
        if (!position.emplace(link.index, adapters.size()).second)
            continue;
        AdapterAddresses adapter;
        adapter.ifIndex = link.index;
        adapter.adapterName = link.name;
        adapter.ifType = InterfaceTypeFromLink(link.type, is_wireless(options.sysClassNet, sysfsLinks, link));
        adapters.push_back(std::move(adapter));
    }

    std::vector<std::vector<CString>> ipv4Texts(adapters.size());
    for (const AddressRecord& record : state.addresses) {
        // An address of a link that appeared after the link dump belongs to no adapter of this snapshot.
        const auto found = position.find(record.index);
        if (found == position.end())
            continue;
        AdapterAddresses& adapter = adapters[found->second];
        UnicastAddress address;
        address.family = record.family;
        address.bytes = record.bytes;
        if (record.family == WS_AF_INET) {
            if (!(record.flags & IFA_F_PERMANENT))
                adapter.flags |= IP_ADAPTER_DHCP_ENABLED;
            ipv4Texts[found->second].push_back(ipv4_text(record.bytes));
        } else if (is_ipv6_link_local(record.bytes)) {
            address.scopeId = record.index;
        }
        adapter.unicastAddresses.push_back(address);
    }
    const std::unordered_set<std::string> leases = directory_entries(options.networkdLeaseDirectory);
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        if (networkd_lease_names(options.networkdLeaseDirectory, leases, adapters[i].ifIndex, ipv4Texts[i]))
            adapters[i].flags |= IP_ADAPTER_DHCP_ENABLED;
    }
    return adapters;
}

} // namespace

DWORD InterfaceTypeFromLink(unsigned linkType, bool wireless) {
    switch (linkType) {
    case ARPHRD_ETHER:
        return wireless ? IF_TYPE_IEEE80211 : IF_TYPE_ETHERNET_CSMACD;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
        return IF_TYPE_IEEE80211;
    case ARPHRD_PPP:
        return IF_TYPE_PPP;
    case ARPHRD_LOOPBACK:
        return IF_TYPE_SOFTWARE_LOOPBACK;
    case ARPHRD_IEEE1394:
        return IF_TYPE_IEEE1394;
    // IP-in-IP, IPv6-in-IPv4, GRE, and the header-less links (tun devices, WireGuard): Windows lists its
    // encapsulating adapters (Teredo, 6to4, ISATAP, IP-HTTPS) and VPN tunnels as tunnel adapters.
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case ARPHRD_IP6GRE:
    case ARPHRD_NONE:
        return IF_TYPE_TUNNEL;
    case ARPHRD_SLIP:
    case ARPHRD_CSLIP:
    case ARPHRD_SLIP6:
    case ARPHRD_CSLIP6:
        return IF_TYPE_SLIP;
    case ARPHRD_IEEE802:
    case ARPHRD_IEEE802_TR:
        return IF_TYPE_ISO88025_TOKENRING;
    case ARPHRD_FDDI:
        return IF_TYPE_FDDI;
    case ARPHRD_ATM:
        return IF_TYPE_ATM;
    case ARPHRD_INFINIBAND:
        return IF_TYPE_INFINIBAND;
    // Raw-IP links are the cellular modems (qmi_wwan, mhi); Windows lists mobile broadband as WWANPP.
    case ARPHRD_RAWIP:
        return IF_TYPE_WWANPP;
    case ARPHRD_IEEE802154:
        return IF_TYPE_IEEE802154;
    default:
        return IF_TYPE_OTHER;
    }
}

AdapterEnumerationOptions DefaultAdapterEnumerationOptions() {
    AdapterEnumerationOptions options;
    options.networkdLeaseDirectory = "/run/systemd/netif/leases";
    options.sysClassNet = "/sys/class/net";
    return options;
}

// Windows hands over the adapter list as one consistent snapshot, taken at one moment. Linux has no such call: the
// kernel walks its links and addresses while it answers the dumps, and when they change during the walk (an address
// added or expiring, a link coming or going) it flags the replies NLM_F_DUMP_INTR to say that the list it gave is
// not one that ever existed at one moment. Reading again until a dump comes back unflagged is how Linux gives the
// same one consistent list: the whole enumeration, links and addresses, starts again on a fresh socket, up to
// maxAttempts (three) times. A machine whose addresses keep changing faster than that is not waited on for ever:
// after the last try the enumeration fails, and the caller gives the empty address as for every other failure.
std::optional<std::vector<AdapterAddresses>> EnumerateAdapters(const AdapterEnumerationOptions& options) {
    try {
        for (int attempt = 0; attempt < options.maxAttempts; ++attempt) {
            MnlSocket socket(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
            if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0)
                return std::nullopt;
            const auto sequence = static_cast<std::uint32_t>(std::time(nullptr));
            DumpState state;
            DumpOutcome outcome = run_dump(socket.get(), RTM_GETLINK, sequence, on_link, state, options);
            if (outcome == DumpOutcome::Complete)
                outcome = run_dump(socket.get(), RTM_GETADDR, sequence + 1, on_address, state, options);
            if (outcome == DumpOutcome::Failed)
                return std::nullopt;
            if (outcome == DumpOutcome::Complete)
                return assemble(state, options);
        }
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<std::vector<AdapterAddresses>> GetAdapterList() {
    return EnumerateAdapters(DefaultAdapterEnumerationOptions());
}

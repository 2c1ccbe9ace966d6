#include "registration/AdapterSelection.h"

#include "platform/net/AddressText.h"

CString SelectLocalIPAddress(std::span<const AdapterAddresses> adapters) {
    CString ipv4Text;
    CString ipv6Text;
    for (const AdapterAddresses& adapter : adapters) {
        if (adapter.flags & IP_ADAPTER_DHCP_ENABLED)
            continue;
        // A bit test, not a comparison with Ethernet's 6: PPP (23) and IEEE 802.11 (71) pass as well.
        if ((adapter.ifType & 6) != 6)
            continue;
        for (const UnicastAddress& address : adapter.unicastAddresses) {
            char buffer[128] = {};
            DWORD length = sizeof(buffer);
            if (WSAAddressToStringA(address, buffer, &length) != 0)
                continue;
            CString text(buffer);
            if (text.empty() || text == "0.0.0.0")
                continue;
            text = text.substr(0, text.find('%'));
            if (address.family == WS_AF_INET && ipv4Text.empty())
                ipv4Text = text;
            else if (address.family == WS_AF_INET6 && ipv6Text.empty())
                ipv6Text = text;
        }
    }
    return !ipv4Text.empty() ? ipv4Text : ipv6Text;
}

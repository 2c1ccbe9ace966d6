// The rule that picks the machine's address from its adapter list.
#pragma once

#include "common/Text.h"
#include "platform/net/NetworkAdapters.h"

#include <span>

// The first IPv4 address text of a qualifying adapter, else the first IPv6 one, else the empty text. An adapter
// qualifies when its IPv4 configuration does not come from DHCP and its interface type has both bits 0x2 and 0x4 set
// (Ethernet 6, PPP 23, IEEE 802.11 71 do; loopback 24, tunnel 131, IEEE 1394 144 do not). Adapters and addresses are
// taken in list order and the walk covers the whole list; texts that are empty or "0.0.0.0" are skipped and a zone
// suffix ("%...") is cut off.
CString SelectLocalIPAddress(std::span<const AdapterAddresses> adapters);

// The SQL Server Browser lookup (UDP port 1434) that turns "host\instance" into a TCP port, bounded in time.
// Internal to platform/data (and its tests).
#pragma once

#include "common/Text.h"

#include <chrono>

namespace enlistor::ado {

inline constexpr unsigned short kSqlServerBrowserPort = 1434;

// Where an instance listens: the address of the browser that answered (numeric text) and the instance's TCP port.
struct SqlServerInstance {
    CString address;
    unsigned short port = 0;
};

// Asks the browser on each address host resolves to, in the resolver's order, for the instance's TCP port: every
// address that has not refused is asked again once a second, until budget has passed, and the first answer decides
// (an address that refuses, by ICMP port unreachable, is dropped). Connecting to the address that answered, not to
// the name, keeps the driver from choosing another address of the name where nothing listens. Throws _com_error
// (0x80004005, SQLSTATE 08001, the given source) when the host cannot be resolved (cause ServerUnknown), every
// address refuses (ServerUnreachable), no browser answers in time (ServerTimedOut), or the instance has no TCP port
// (ServerUnreachable).
SqlServerInstance LookupSqlServerInstance(const CString& host, const CString& instance,
                                          std::chrono::milliseconds budget, const CString& source);

// The port of the "tcp" entry in a browser response (SVR_RESP: 0x05, 16-bit little-endian length, then
// "ServerName;...;InstanceName;...;tcp;1433;..."), or 0 when there is none.
unsigned short ParseBrowserResponse(const unsigned char* data, std::size_t size);

} // namespace enlistor::ado

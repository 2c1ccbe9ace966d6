// The SQL Server Browser lookup (UDP port 1434) that turns "host\instance" into a TCP port, bounded in time.
// Internal to platform/data (and its tests).
#pragma once

#include "common/Text.h"

#include <chrono>

namespace ado {

inline constexpr unsigned short kSqlServerBrowserPort = 1434;

// Asks the browser on host for the instance's TCP port, repeating the request once a second, until budget has
// passed. Throws _com_error (0x80004005, SQLSTATE 08001, the given source) when the host cannot be resolved, no
// browser answers in time or refuses, or the instance has no TCP port.
unsigned short LookupSqlServerInstance(const CString& host, const CString& instance, std::chrono::milliseconds budget,
                                       const CString& source);

// The port of the "tcp" entry in a browser response (SVR_RESP: 0x05, 16-bit little-endian length, then
// "ServerName;...;InstanceName;...;tcp;1433;..."), or 0 when there is none.
unsigned short ParseBrowserResponse(const unsigned char* data, std::size_t size);

} // namespace ado

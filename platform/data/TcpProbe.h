// Why a TCP connection to a database server could not be made, when the driver does not say: FreeTDS reports a
// refused port, an unreachable host and a missing route all as "Adaptive Server is unavailable or does not exist".
// Internal to platform/data (and its tests).
#pragma once

#include "common/Text.h"

#include <chrono>

namespace enlistor::ado {

// Tries host:port once (each address the name resolves to, within budget) and names what stopped it: "connection
// refused", "no route to host" or "network is unreachable"; "" when a connection was made, no answer came in time,
// or the name does not resolve (the driver's own words stand then).
[[nodiscard]] CString ProbeTcpRefusal(const CString& host, unsigned short port, std::chrono::milliseconds budget);

} // namespace enlistor::ado

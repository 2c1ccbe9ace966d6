// The ODBC drivers that unixODBC lists as installed (odbcinst.ini, found through ODBCSYSINI/ODBCINSTINI as the
// driver manager finds it). Kept apart so that no ODBC header meets the Win32 declarations.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace enlistor::registry {

// The installed driver whose name equals name case-insensitively, with its name as listed; nothing when no such
// driver is installed or the list cannot be had.
[[nodiscard]] std::optional<std::string> find_installed_odbc_driver(std::string_view name);

} // namespace enlistor::registry

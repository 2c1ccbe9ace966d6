// The ODBC drivers that unixODBC lists as installed (odbcinst.ini, found through ODBCSYSINI/ODBCINSTINI as the
// driver manager finds it). Kept apart so that no ODBC header meets the Win32 declarations.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace enlistor::registry {

// The names of the installed drivers, as listed; empty when the list cannot be had.
[[nodiscard]] std::vector<std::string> installed_odbc_drivers();

// The name in names that equals name case-insensitively, as it is written there.
[[nodiscard]] std::optional<std::string> find_odbc_driver_name(const std::vector<std::string>& names,
                                                               std::string_view name);

// The installed driver whose name equals name case-insensitively, with its name as listed; nothing when no such
// driver is installed or the list cannot be had.
[[nodiscard]] std::optional<std::string> find_installed_odbc_driver(std::string_view name);

} // namespace enlistor::registry

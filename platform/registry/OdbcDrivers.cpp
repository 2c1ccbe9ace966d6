#include "platform/registry/OdbcDrivers.h"

#include <odbcinst.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace enlistor::registry {

namespace {

// The hive's name comparison (HiveFormat.h), repeated here because that header brings the Win32 declarations.
bool ascii_names_equal(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

} // namespace

std::vector<std::string> installed_odbc_drivers() {
    // The list is "name\0name\0...\0\0"; a list that fills the buffer may have been cut, so grow and ask again.
    constexpr std::size_t largest_buffer = 65535;
    std::vector<char> buffer(4096);
    for (;;) {
        WORD written = 0;
        std::fill(buffer.begin(), buffer.end(), '\0');
        if (!SQLGetInstalledDrivers(buffer.data(), static_cast<WORD>(buffer.size()), &written))
            return {};
        if (static_cast<std::size_t>(written) + 2 < buffer.size() || buffer.size() >= largest_buffer)
            break;
        buffer.resize(std::min(largest_buffer, buffer.size() * 2));
    }
    buffer.back() = '\0';
    std::vector<std::string> names;
    const char* const end = buffer.data() + buffer.size();
    for (const char* entry = buffer.data(); entry < end && *entry != '\0'; entry += std::strlen(entry) + 1)
        names.emplace_back(entry);
    return names;
}

std::optional<std::string> find_odbc_driver_name(const std::vector<std::string>& names, std::string_view name) {
    for (const std::string& entry : names)
        if (ascii_names_equal(entry, name))
            return entry;
    return std::nullopt;
}

std::optional<std::string> find_installed_odbc_driver(std::string_view name) {
    return find_odbc_driver_name(installed_odbc_drivers(), name);
}

} // namespace enlistor::registry

// The connection-string parser on any text: it either refuses the text with _com_error or returns values that a
// writer following the documented quoting rule gets back unchanged; any text written as a value by that rule reads
// back exactly; and the ODBC mapping of whatever parses either refuses with _com_error or keeps the password out of
// its display form.
#include "platform/data/ConnectionString.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

// The writer's rule of ConnectionString.h: quote exactly the values that contain ';' or start with '{' or '"'.
CString write_value(std::string_view value) {
    if (value.find(';') == std::string_view::npos && (value.empty() || (value.front() != '{' && value.front() != '"')))
        return CString(value);
    CString quoted = "{";
    for (char c : value) {
        quoted += c;
        if (c == '}')
            quoted += '}';
    }
    return quoted + "}";
}

const enlistor::ado::OdbcCatalog& catalog() {
    static const enlistor::ado::OdbcCatalog machine{
        {{"FreeTDS", "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so"},
         {"SQLite3", "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so"},
         {"PostgreSQL Unicode", "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so"}},
        {{"demo", "SQLite3"}, {"suite", "PostgreSQL Unicode"}}};
    return machine;
}

constexpr std::array<std::string_view, 8> keywords{"Provider",        "Server", "Data Source", "Database",
                                                   "Initial Catalog", "UID",    "PWD",         ""};

std::optional<enlistor::ado::ConnectionOptions> parse(std::string_view text) {
    try {
        return enlistor::ado::ConnectionOptions::Parse(text);
    } catch (const _com_error&) {
        return std::nullopt;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // Any text, written as a value by the rule, reads back exactly.
    const auto written = parse("PWD=" + write_value(input) + ";Server=x");
    if (!written || written->Get("pwd") != CString(input) || written->Get("SERVER") != CString("x"))
        std::abort();

    const auto options = parse(input);
    if (!options)
        return 0;

    // What parsed, written out again by the rule, parses to the same values.
    CString again;
    for (std::string_view keyword : keywords)
        if (const auto value = options->Get(keyword))
            again += CString(keyword) + "=" + write_value(*value) + ";";
    const auto reparsed = parse(again);
    if (!reparsed)
        std::abort();
    for (std::string_view keyword : keywords)
        if (reparsed->Get(keyword) != options->Get(keyword))
            std::abort();

    try {
        const enlistor::ado::OdbcTarget target = enlistor::ado::MapToOdbc(*options, catalog());
        const CString password = options->GetOr("PWD");
        // The two forms differ exactly when there is a password to hide (unless it is "***" itself).
        const bool hidden = !password.empty() && password != "***";
        if (hidden == (target.displayString == target.connectionString.Text()))
            std::abort();
        if (!password.empty() && target.displayString.find("PWD=***;") == CString::npos)
            std::abort();
    } catch (const _com_error&) {
    }
    return 0;
}

#include "cli/Json.h"

namespace {

template <typename Json>
CString dump_line(const Json& value) {
    // No indentation: one line. ensure_ascii: \u escapes for everything outside printable ASCII.
    return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

} // namespace

CString JsonLine(const nlohmann::ordered_json& value) {
    return dump_line(value);
}

CString JsonLine(const nlohmann::json& value) {
    return dump_line(value);
}

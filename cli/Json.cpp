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

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) {
    m_value[std::string(key)] = std::string(text);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, long number) {
    m_value[std::string(key)] = number;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
    m_value[std::string(key)] = value;
    return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
    m_value[std::string(key)] = nullptr;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, const JsonObject& object) {
    m_value[std::string(key)] = object.m_value;
    return *this;
}

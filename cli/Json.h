// The --json output of the commands: one JSON object on one line, written by nlohmann-json.
#pragma once

#include "common/Text.h"

#include <nlohmann/json.hpp>

#include <string_view>

// The value as one line of JSON text (no line end). The output is plain ASCII: control characters and every
// non-ASCII character are written as \u escapes. Text that is not valid UTF-8 (an ANSI text from a driver, a cut
// sequence) is never dropped and never passed through: each ill-formed sequence becomes U+FFFD, so the output is
// always valid JSON. An ordered_json keeps its members in the order they were added; a json sorts them by name.
[[nodiscard]] CString JsonLine(const nlohmann::ordered_json& value);
[[nodiscard]] CString JsonLine(const nlohmann::json& value);

// Builds {"key":value,...} in the order the members are added. Kept for the commands until they build
// nlohmann::ordered_json themselves; new code uses that and JsonLine.
class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view text);
    JsonObject& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
    JsonObject& Add(std::string_view key, long number);
    JsonObject& Add(std::string_view key, int number) { return Add(key, static_cast<long>(number)); }
    JsonObject& Add(std::string_view key, bool value);
    JsonObject& AddNull(std::string_view key);
    JsonObject& Add(std::string_view key, const JsonObject& object);
    [[nodiscard]] CString Text() const { return JsonLine(m_value); }

private:
    nlohmann::ordered_json m_value = nlohmann::ordered_json::object();
};

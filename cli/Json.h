// A JSON object written as one line, for the --json output of the commands.
#pragma once

#include "common/Text.h"

#include <nlohmann/json.hpp>

#include <string_view>

// The JSON string literal (with its quotes) for an 8-bit text. The output is plain ASCII: control characters and
// every non-ASCII character are written as \u escapes. Valid UTF-8 sequences become the code points they encode
// (surrogate pairs above U+FFFF); any other byte is taken as the Latin-1 character of the same value, so every input
// gives valid JSON.
[[nodiscard]] CString JsonString(std::string_view text);

// Builds {"key":value,...} in the order the members are added.
class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view text);
    JsonObject& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
    JsonObject& Add(std::string_view key, long number);
    JsonObject& Add(std::string_view key, int number) { return Add(key, static_cast<long>(number)); }
    JsonObject& Add(std::string_view key, bool value);
    JsonObject& AddNull(std::string_view key);
    // Adds a nested object (its text as Text() gives it).
    JsonObject& Add(std::string_view key, const JsonObject& object);
    [[nodiscard]] CString Text() const { return m_text + "}"; }

private:
    JsonObject& add_raw(std::string_view key, std::string_view json);
    CString m_text = "{";
};

// One JSON object on one line: plain ASCII, text that is not valid UTF-8 replaced by U+FFFD.
[[nodiscard]] CString JsonLine(const nlohmann::json& object);

#include "cli/Json.h"

#include <cstdint>
#include <cstdio>

namespace {

void append_escape(CString& out, std::uint32_t unit) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(unit & 0xFFFFU));
    out += buffer;
}

void append_code_point(CString& out, std::uint32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        append_escape(out, 0xD800 + (cp >> 10));
        append_escape(out, 0xDC00 + (cp & 0x3FF));
    } else {
        append_escape(out, cp);
    }
}

// Length of the well-formed UTF-8 sequence at text[i] and its code point, or 0 when the bytes there are not one
// (overlong forms, surrogates and values above U+10FFFF are not well-formed).
std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& cp) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

CString JsonString(std::string_view text) {
    CString out = "\"";
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            std::uint32_t cp = 0;
            const std::size_t length = decode_utf8(text, i, cp);
            append_code_point(out, length ? cp : c);
            i += length ? length : 1;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
                append_escape(out, c);
            else
                out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
    return out;
}

JsonObject& JsonObject::add_raw(std::string_view key, std::string_view json) {
    if (m_text.size() > 1)
        m_text += ',';
    m_text += JsonString(key);
    m_text += ':';
    m_text += json;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) {
    return add_raw(key, JsonString(text));
}

JsonObject& JsonObject::Add(std::string_view key, long number) {
    return add_raw(key, std::to_string(number));
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
    return add_raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::AddNull(std::string_view key) {
    return add_raw(key, "null");
}

JsonObject& JsonObject::Add(std::string_view key, const JsonObject& object) {
    return add_raw(key, object.Text());
}

CString JsonLine(const nlohmann::json& object) {
    return object.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

#include "platform/registry/HiveFormat.h"

#include <algorithm>

namespace enlistor::registry {

namespace {

std::uint32_t load32_le(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void store32_le(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

constexpr char hex_digits[] = "0123456789ABCDEF";

bool needs_escape(char c, bool first) {
    return c == '%' || c == '/' || (first && (c == '.' || c == value_file_prefix));
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::optional<value_header> parse_value_header(std::span<const std::uint8_t> header, std::uint64_t file_size) {
    if (header.size() < value_header_size || !std::equal(std::begin(value_magic), std::end(value_magic), header.data()))
        return std::nullopt;
    const value_header parsed{load32_le(header.data() + 4), load32_le(header.data() + 8)};
    if (parsed.size > max_value_size || file_size != value_header_size + static_cast<std::uint64_t>(parsed.size))
        return std::nullopt;
    return parsed;
}

std::optional<parsed_value> parse_value_file(std::span<const std::uint8_t> file) {
    const auto header = parse_value_header(file, file.size());
    if (!header)
        return std::nullopt;
    return parsed_value{header->type, file.subspan(value_header_size, header->size)};
}

std::vector<std::uint8_t> serialize_value_file(DWORD type, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> file(value_header_size + data.size());
    std::copy(std::begin(value_magic), std::end(value_magic), file.begin());
    store32_le(file.data() + 4, type);
    store32_le(file.data() + 8, static_cast<std::uint32_t>(data.size()));
    std::copy(data.begin(), data.end(), file.begin() + value_header_size);
    return file;
}

std::optional<std::string> encode_name(std::string_view name) {
    std::string stored;
    stored.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (needs_escape(c, i == 0)) {
            const auto byte = static_cast<unsigned char>(c);
            stored += '%';
            stored += hex_digits[byte >> 4];
            stored += hex_digits[byte & 0x0F];
        } else {
            stored += c;
        }
    }
    if (stored.size() > max_stored_name_length)
        return std::nullopt;
    return stored;
}

std::optional<std::string> decode_name(std::string_view stored) {
    if (stored.size() > max_stored_name_length)
        return std::nullopt;
    std::string name;
    name.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] != '%') {
            if (stored[i] == '/' || stored[i] == '\0')
                return std::nullopt;
            name += stored[i];
            continue;
        }
        if (i + 2 >= stored.size())
            return std::nullopt;
        const int high = hex_value(stored[i + 1]);
        const int low = hex_value(stored[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        name += static_cast<char>(high << 4 | low);
        i += 2;
    }
    // Only the canonical form names an entry, so one name has exactly one stored form.
    const auto again = encode_name(name);
    if (!again || *again != stored)
        return std::nullopt;
    return name;
}

std::optional<std::string> decode_value_file_name(std::string_view entry) {
    if (entry.empty() || entry.front() != value_file_prefix)
        return std::nullopt;
    return decode_name(entry.substr(1));
}

std::optional<std::string> decode_key_entry_name(std::string_view entry) {
    if (entry.empty() || entry.front() == '.' || entry.front() == value_file_prefix)
        return std::nullopt;
    return decode_name(entry);
}

std::optional<std::string> value_file_name(std::string_view value_name) {
    auto stored = encode_name(value_name);
    if (!stored || stored->size() + 1 > max_stored_name_length)
        return std::nullopt;
    return value_file_prefix + *stored;
}

bool names_equal(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

LONG split_key_path(std::string_view path, std::vector<std::string>& components) {
    components.clear();
    if (!path.empty() && path.front() == '\\')
        return ERROR_BAD_PATHNAME;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('\\', start), path.size());
        if (end > start) {
            if (end - start > max_stored_name_length)
                return ERROR_INVALID_PARAMETER;
            components.emplace_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

} // namespace enlistor::registry

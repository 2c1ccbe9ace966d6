#include "cipher/VLBase64.h"

#include <array>
#include <limits>
#include <new>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof alphabet == 65);

// Marks every code that is not an alphabet character, the terminator and "=" included.
constexpr unsigned char invalid = 127;

constexpr std::array<unsigned char, 256> make_decode_table() {
    std::array<unsigned char, 256> table{};
    for (auto& entry : table)
        entry = invalid;
    for (int value = 0; value < 64; ++value)
        table[static_cast<unsigned char>(alphabet[value])] = static_cast<unsigned char>(value);
    return table;
}

constexpr std::array<unsigned char, 256> decode_table = make_decode_table();

unsigned char value_of(char c) {
    return decode_table[static_cast<unsigned char>(c)];
}

} // namespace

CVLBase64::~CVLBase64() = default;

CString CVLBase64::Encode(const unsigned char* data, std::int32_t& count) {
    if (count <= 0) {
        count = 0;
        return {};
    }
    const auto bytes = static_cast<std::size_t>(count);
    CString text;
    try {
        text.reserve((bytes + 2) / 3 * 4);
    } catch (const std::bad_alloc&) {
        return {};
    }
    for (std::size_t i = 0; i < bytes; i += 3) {
        const unsigned b0 = data[i];
        const unsigned b1 = i + 1 < bytes ? data[i + 1] : 0;
        const unsigned b2 = i + 2 < bytes ? data[i + 2] : 0;
        text += alphabet[b0 >> 2];
        text += alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
        if (i + 1 >= bytes) {
            text += "==";
            break;
        }
        text += alphabet[((b1 & 0x0F) << 2) | (b2 >> 6)];
        if (i + 2 >= bytes) {
            text += '=';
            break;
        }
        text += alphabet[b2 & 0x3F];
    }
    count = static_cast<std::int32_t>(text.size());
    return text;
}

// Each group is checked character by character before anything of it is written, so a terminator inside a group
// stops the reading at its place; the write position stays three bytes per group behind the read position.
int CVLBase64::Decode(char* buffer) {
    const char* in = buffer;
    char* out = buffer;
    int count = 0;
    while (*in != '\0') {
        const unsigned char v0 = value_of(in[0]);
        if (v0 == invalid)
            return -1;
        const unsigned char v1 = value_of(in[1]);
        if (v1 == invalid)
            return -1;
        const bool pad2 = in[2] == '=';
        const unsigned char v2 = pad2 ? 0 : value_of(in[2]);
        if (v2 == invalid)
            return -1;
        const bool pad3 = in[3] == '=';
        const unsigned char v3 = pad3 ? 0 : value_of(in[3]);
        if (v3 == invalid)
            return -1;
        if (count > std::numeric_limits<int>::max() - 3)
            return -1; // the byte count would not fit the result

        *out++ = static_cast<char>((v0 << 2) | (v1 >> 4));
        ++count;
        if (pad2)
            return count;
        *out++ = static_cast<char>(((v1 & 0x0F) << 4) | (v2 >> 2));
        ++count;
        if (pad3)
            return count;
        *out++ = static_cast<char>(((v2 & 0x03) << 6) | v3);
        ++count;
        in += 4;
    }
    return count;
}

// CVLBase64::Decode on any bytes: it must stay inside the text (up to its terminator), never write past what it
// read, and whatever it accepts must survive an encode and decode unchanged.
#include "cipher/VLBase64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> buffer(data, data + size);
    buffer.push_back('\0');
    const std::size_t text_length = std::strlen(buffer.data());

    CVLBase64 codec;
    const int count = codec.Decode(buffer.data());
    if (count < -1)
        std::abort();
    if (count == -1)
        return 0;
    const auto bytes = static_cast<std::size_t>(count);
    if (bytes > (text_length + 3) / 4 * 3)
        std::abort();

    std::int32_t encoded_count = count;
    const CString text = codec.Encode(reinterpret_cast<const unsigned char*>(buffer.data()), encoded_count);
    if (text.size() != 4 * ((bytes + 2) / 3) || static_cast<std::size_t>(encoded_count) != text.size())
        std::abort();
    std::vector<char> again(text.begin(), text.end());
    again.push_back('\0');
    if (codec.Decode(again.data()) != count || std::memcmp(again.data(), buffer.data(), bytes) != 0)
        std::abort();
    return 0;
}

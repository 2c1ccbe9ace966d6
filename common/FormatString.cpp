#include "common/FormatString.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The working buffer every call starts with; outputs that do not fit get a buffer of their exact size.
constexpr std::size_t initial_buffer_size = 4096;

CString up_to_first_zero(const char* data, std::size_t length) {
    const void* zero = std::memchr(data, '\0', length);
    return CString(data, zero ? static_cast<const char*>(zero) - data : length);
}

} // namespace

CString FormatStringV(const char* format, va_list args) {
    if (format == nullptr)
        return {};
    try {
        std::vector<char> buffer(initial_buffer_size);
        va_list first;
        va_copy(first, args);
        const int needed = std::vsnprintf(buffer.data(), buffer.size(), format, first);
        va_end(first);
        if (needed < 0)
            return {};
        if (static_cast<std::size_t>(needed) >= buffer.size()) {
            buffer.resize(static_cast<std::size_t>(needed) + 1);
            va_list second;
            va_copy(second, args);
            const int written = std::vsnprintf(buffer.data(), buffer.size(), format, second);
            va_end(second);
            if (written < 0)
                return {};
        }
        return up_to_first_zero(buffer.data(), static_cast<std::size_t>(needed));
    } catch (const std::bad_alloc&) {
        return {};
    }
}

CString FormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    CString result = FormatStringV(format, args);
    va_end(args);
    return result;
}

#include "common/FormatString.h"

#include "common/Secret.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The working buffer every call starts with, on the stack; outputs that do not fit get a buffer of their exact size.
constexpr std::size_t initial_buffer_size = 4096;

CString up_to_first_zero(const char* data, std::size_t length) {
    const void* zero = std::memchr(data, '\0', length);
    return CString(data, zero ? static_cast<const char*>(zero) - data : length);
}

// Wipes a formatting buffer when it goes out of scope: a formatted text may hold the password (the connection string
// is one).
class wiped_on_exit {
public:
    wiped_on_exit(char* data, std::size_t size) noexcept : m_data(data), m_size(size) {}
    ~wiped_on_exit() { WipeBytes(m_data, m_size); }
    wiped_on_exit(const wiped_on_exit&) = delete;
    wiped_on_exit& operator=(const wiped_on_exit&) = delete;

private:
    char* m_data;
    std::size_t m_size;
};

} // namespace

CString FormatStringV(const char* format, va_list args) {
    if (format == nullptr)
        return {};
    try {
        char first[initial_buffer_size];
        const wiped_on_exit wipeFirst(first, sizeof first);
        va_list copy;
        va_copy(copy, args);
        const int needed = std::vsnprintf(first, sizeof first, format, copy);
        va_end(copy);
        if (needed < 0)
            return {};
        const std::size_t length = static_cast<std::size_t>(needed);
        if (length < sizeof first)
            return up_to_first_zero(first, length);
        std::vector<char> buffer(length + 1);
        const wiped_on_exit wipe(buffer.data(), buffer.size());
        va_list second;
        va_copy(second, args);
        const int written = std::vsnprintf(buffer.data(), buffer.size(), format, second);
        va_end(second);
        if (written < 0)
            return {};
        return up_to_first_zero(buffer.data(), length);
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

#include "platform/messages/Messages.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

struct message_entry {
    DWORD code;
    std::string_view text;
};

// The system message table as Windows gives it for the codes this system meets. The table holds one language; it
// answers every language identifier. Codes that are not listed have no text, so callers' own fallback texts apply
// (the data objects' codes 0x80040E00-0x80040EFF and 0x800A0000-0x800AFFFF among them).
constexpr message_entry message_table[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {234, "More data is available.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {0x80004001u, "Not implemented\r\n"},
    {0x80004002u, "No such interface supported\r\n"},
    {0x80004003u, "Invalid pointer\r\n"},
    {0x80004004u, "Operation aborted\r\n"},
    {0x80004005u, "Unspecified error\r\n"},
    {0x8000FFFFu, "Catastrophic failure\r\n"},
    {0x80070002u, "The system cannot find the file specified.\r\n"},
    {0x80070005u, "Access is denied.\r\n"},
    {0x8007000Eu, "Not enough memory resources are available to complete this operation.\r\n"},
    {0x80070057u, "The parameter is incorrect.\r\n"},
};

const std::string_view* find_message(DWORD code) {
    for (const message_entry& entry : message_table) {
        if (entry.code == code)
            return &entry.text;
    }
    return nullptr;
}

} // namespace

DWORD FormatMessageA(DWORD dwFlags, const void* /*lpSource*/, DWORD dwMessageId, DWORD /*dwLanguageId*/, LPSTR lpBuffer,
                     DWORD nSize, va_list* /*Arguments*/) {
    const bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (allocate && lpBuffer != nullptr)
        *reinterpret_cast<char**>(lpBuffer) = nullptr;
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr)
        return 0;
    const std::string_view* text = find_message(dwMessageId);
    if (text == nullptr)
        return 0;

    const std::size_t length = text->size();
    if (allocate) {
        // nSize is the least number of characters to allocate, as on Windows.
        const std::size_t capacity = length + 1 > nSize ? length + 1 : nSize;
        char* buffer = static_cast<char*>(std::malloc(capacity));
        if (buffer == nullptr)
            return 0;
        std::memcpy(buffer, text->data(), length);
        buffer[length] = '\0';
        *reinterpret_cast<char**>(lpBuffer) = buffer;
        return static_cast<DWORD>(length);
    }
    if (nSize < length + 1)
        return 0;
    std::memcpy(lpBuffer, text->data(), length);
    lpBuffer[length] = '\0';
    return static_cast<DWORD>(length);
}

// Releases a buffer that FormatMessageA allocated. Returns null, as Windows does on success.
HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

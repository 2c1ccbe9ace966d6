#include "registration/Registration.h"

#include "common/FormatString.h"

#include <cstring>

CString GetComErrorText(const _com_error& e) {
    const std::optional<CString> source = e.Source();
    const std::optional<CString> description = e.Description();
    const char* message = e.ErrorMessage();
    // An absent source or description is written as the C library writes a null text: "(null)".
    return FormatString("%s Error %ld%s%s", source ? source->c_str() : "(null)", static_cast<long>(e.Error()),
                        description ? description->c_str() : "(null)", message ? message : "(null)");
}

void CopyErrorText(const CString& text, char* area, std::size_t areaSize) {
    if (area == nullptr || areaSize == 0)
        return;
    std::size_t length = text.size();
    if (length > areaSize - 1) {
        length = areaSize - 1;
        // The byte at the cut belongs to the dropped tail. If it continues a UTF-8 sequence, that character started
        // before the cut and is dropped whole: step back over its continuation bytes to its lead byte (a sequence is
        // at most four bytes; longer runs are not UTF-8 and are cut where they stand).
        std::size_t back = length;
        for (int steps = 0; steps < 3 && back > 0 && (static_cast<unsigned char>(text[back]) & 0xC0) == 0x80; ++steps)
            --back;
        if ((static_cast<unsigned char>(text[back]) & 0xC0) == 0xC0)
            length = back;
    }
    std::memcpy(area, text.data(), length);
    area[length] = '\0';
}

#include "common/PlainText.h"

CString PlainText(std::string_view text) {
    CString out;
    for (unsigned char c : text) {
        if (c == '\n' || (c >= 0x20 && c < 0x7F) || c >= 0xA0)
            out += static_cast<char>(c);
        else
            out += '?';
    }
    return out;
}

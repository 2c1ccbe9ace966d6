// Base64 (standard alphabet, "=" padding, one line) as the stored password text uses it. The decoder is strict and
// decodes in place.
#pragma once

#include "common/Text.h"

#include <cstdint>

class CVLBase64 {
public:
    CVLBase64() = default;
    virtual ~CVLBase64();

    // Base64 text of count bytes; on return count holds the number of characters written. Empty text (count left
    // unchanged) when the working memory cannot be had.
    CString Encode(const unsigned char* data, std::int32_t& count);
    // Decodes the zero-terminated text in buffer over the start of the same buffer. Returns the byte count, or -1
    // when the text is not valid Base64 (the bytes decoded so far stay in the buffer).
    int Decode(char* buffer);
};

#include "common/Secret.h"

#include <algorithm>
#include <string.h> // explicit_bzero

void WipeBytes(void* data, std::size_t size) noexcept {
    if (data != nullptr && size > 0)
        explicit_bzero(data, size);
}

void WipeText(CString& text) noexcept {
    // The whole capacity: a text that shrank keeps its old tail in the buffer.
    text.resize(text.capacity());
    WipeBytes(text.data(), text.size());
    text.clear();
}

void SecretText::Append(const char* data, std::size_t size) {
    if (m_text.size() + size > m_text.capacity()) {
        CString grown;
        grown.reserve(std::max(m_text.capacity() * 2, m_text.size() + size));
        grown.append(m_text);
        WipeText(m_text);
        m_text = std::move(grown);
    }
    m_text.append(data, size);
}

CString RedactSecrets(CString text, const CString& secret1, const CString& secret2) {
    for (const CString* secret : {&secret1, &secret2}) {
        if (secret->size() < 4)
            continue;
        for (std::size_t at = text.find(*secret); at != CString::npos; at = text.find(*secret, at + 3))
            text.replace(at, secret->size(), "***");
    }
    return text;
}

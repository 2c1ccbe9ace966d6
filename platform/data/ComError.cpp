#include "platform/data/ComError.h"

#include "platform/messages/Messages.h"

#include <cstdio>

const char* _com_error::ErrorMessage() const {
    if (m_message)
        return m_message->c_str();
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        static_cast<DWORD>(m_hresult), LANG_NEUTRAL_SUBLANG_DEFAULT, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length > 0 && text != nullptr) {
        CString message(text, length);
        LocalFree(text);
        // One trailing line feed goes, with the carriage return before it; nothing else is trimmed.
        if (message.size() > 1 && message.back() == '\n') {
            message.pop_back();
            if (!message.empty() && message.back() == '\r')
                message.pop_back();
        }
        m_message = std::move(message);
    } else {
        if (text != nullptr)
            LocalFree(text);
        char buffer[32];
        const auto code = static_cast<unsigned long>(static_cast<DWORD>(m_hresult));
        if (code >= 0x80040201ul && code <= 0x8004FFFFul)
            std::snprintf(buffer, sizeof buffer, "IDispatch error #%d", static_cast<int>(code - 0x80040200ul));
        else
            std::snprintf(buffer, sizeof buffer, "Unknown error 0x%0lX", code);
        m_message = CString(buffer);
    }
    return m_message->c_str();
}

_com_error _com_error::WithCauseSentence(const CString& sentence) const {
    if (sentence.empty() || !m_hasErrorInfo)
        return *this;
    _com_error described = *this;
    described.m_driverText = m_description;
    described.m_causeSentence = sentence;
    described.m_description = m_description.empty() ? sentence : sentence + " " + m_description;
    return described;
}

// The error every failing data-object call raises: an HRESULT and, when the failing object supplies it, error
// information with a source and a description.
#pragma once

#include "common/Text.h"
#include "platform/win32/Win32.h"

#include <optional>

class _com_error {
public:
    explicit _com_error(HRESULT hr) noexcept : m_hresult(hr) {}
    _com_error(HRESULT hr, CString source, CString description, CString sqlState = {})
        : m_hresult(hr), m_hasErrorInfo(true), m_source(std::move(source)), m_description(std::move(description)),
          m_sqlState(std::move(sqlState)) {}

    HRESULT Error() const noexcept { return m_hresult; }
    // Source and description of the error information; nullopt when there is none.
    std::optional<CString> Source() const { return m_hasErrorInfo ? std::optional<CString>(m_source) : std::nullopt; }
    std::optional<CString> Description() const {
        return m_hasErrorInfo ? std::optional<CString>(m_description) : std::nullopt;
    }
    // The system message for the HRESULT, looked up on first use and kept: the message table's text with one
    // trailing "\n" (and a "\r" before it) removed, else "IDispatch error #%d" for 0x80040201..0x8004FFFF, else
    // "Unknown error 0x%0lX".
    const char* ErrorMessage() const;
    // SQLSTATE of the diagnostic record the HRESULT was derived from; empty when the error did not come from ODBC.
    const CString& SqlState() const noexcept { return m_sqlState; }

private:
    HRESULT m_hresult;
    bool m_hasErrorInfo = false;
    CString m_source;
    CString m_description;
    CString m_sqlState;
    mutable std::optional<CString> m_message;
};

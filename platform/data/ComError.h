// The error every failing data-object call raises: an HRESULT and, when the failing object supplies it, error
// information with a source and a description. Errors the data layer raises from a driver's diagnostics also carry
// what they were classified from (SQLSTATE, native error) and the cause, named once when the error is raised, so that
// callers never need to read the formatted description again.
#pragma once

#include "common/Text.h"
#include "platform/win32/Win32.h"

#include <cstdint>
#include <optional>

// The plain cause of a data-object failure.
enum class DataErrorCause {
    Other,             // nothing more specific is known
    ServerUnreachable, // connection refused, no route, the connection failed
    ServerTimedOut,    // the server did not answer within the time limit (at login or during a statement)
    ServerUnknown,     // the server name does not resolve
    LoginRefused,      // wrong login or password (an empty one included), or the server does not accept this login
    DatabaseMissing,   // the database does not exist (or, for a file database, cannot be opened)
    TableMissing,      // a table the statements use does not exist
    PermissionDenied,  // the login may not connect to the database or run the statement; a read-only database
    DriverMissing,     // no ODBC driver or data source for the connection
    SettingUnusable,   // a value the driver in use cannot carry, or that is not text; nothing was sent (Setting())
    // The login was not sent because it could not be protected: the description is the probe's reason (no SQLSTATE;
    // the connection's TransportReport has the certificate), or the driver's text.
    ServerCannotEncrypt,  // the server offers no TLS
    CertificateUntrusted, // the server's certificate is not verified by the trusted CAs (for this host) or the pin
    TlsFailed,            // the TLS handshake failed
};

// The setting a refused value came from (SettingUnusable): the description says what is wrong with the value and the
// caller names the setting. None: the refused text is no setting (a statement), and the description names it.
enum class DataSetting { None, Server, Database, Login, Password, CaFile };

class _com_error {
public:
    explicit _com_error(HRESULT hr) noexcept : m_hresult(hr) {}
    _com_error(HRESULT hr, CString source, CString description, CString sqlState = {}, std::int32_t nativeError = 0,
               DataErrorCause cause = DataErrorCause::Other, DataSetting setting = DataSetting::None)
        : m_hresult(hr), m_hasErrorInfo(true), m_source(std::move(source)), m_description(std::move(description)),
          m_sqlState(std::move(sqlState)), m_nativeError(nativeError), m_cause(cause), m_setting(setting) {}

    HRESULT Error() const noexcept { return m_hresult; }
    // Source and description of the error information; nullopt when there is none.
    std::optional<CString> Source() const { return m_hasErrorInfo ? std::optional<CString>(m_source) : std::nullopt; }
    std::optional<CString> Description() const {
        return m_hasErrorInfo ? std::optional<CString>(m_description) : std::nullopt;
    }
    // The system message for the HRESULT, looked up on first use and kept: the message table's text with one
    // trailing "\n" (and a "\r" before it) removed when the text is longer than one character, else "IDispatch error
    // #%d" for 0x80040201..0x8004FFFF, else "Unknown error 0x%0lX".
    const char* ErrorMessage() const;
    // SQLSTATE of the diagnostic record the error was classified from; empty when the error did not come from ODBC.
    const CString& SqlState() const noexcept { return m_sqlState; }
    // The driver's native error code of that record; 0 when none.
    std::int32_t NativeError() const noexcept { return m_nativeError; }
    // The cause named when the error was raised; Other for errors that carry none (a missing object among them).
    DataErrorCause Cause() const noexcept { return m_cause; }
    DataSetting Setting() const noexcept { return m_setting; } // the setting a SettingUnusable error refused, or None
    // The driver's own text, as it was raised, before any sentence naming the cause was put in front of it.
    const CString& DriverText() const noexcept { return m_driverText ? *m_driverText : m_description; }
    // The sentence that names the cause and the setting to check; empty when none was put in front.
    const CString& CauseSentence() const noexcept { return m_causeSentence; }
    // The same error with `sentence` put in front of its description (one blank between them); DriverText() and
    // CauseSentence() keep both parts. An empty sentence, or an error without error information, is returned as is.
    [[nodiscard]] _com_error WithCauseSentence(const CString& sentence) const;

private:
    HRESULT m_hresult;
    bool m_hasErrorInfo = false;
    CString m_source;
    CString m_description;
    CString m_sqlState;
    std::int32_t m_nativeError = 0;
    DataErrorCause m_cause = DataErrorCause::Other;
    DataSetting m_setting = DataSetting::None;
    std::optional<CString> m_driverText;
    CString m_causeSentence;
    mutable std::optional<CString> m_message;
};

// The Connection and Recordset objects the registration uses, over ODBC (unixODBC).
//
// Every failing call throws _com_error; an error from the driver or the mapping carries its classified cause (and a
// refused setting) beside the driver's text, for the caller to word. A call through an object that was never created
// (or was released) throws _com_error(E_POINTER) without error information. Statements take their values as bound
// parameters: each "?" in the text is one parameter, bound as a character value in order.
#pragma once

#include "common/Text.h"
#include "platform/data/ComError.h"
#include "platform/data/Transport.h"

#include <memory>
#include <vector>

namespace enlistor::ado {

inline constexpr long adStateClosed = 0;
inline constexpr long adStateOpen = 1;
inline constexpr int adOpenKeyset = 1;
inline constexpr int adLockOptimistic = 3;
inline constexpr long adCmdText = 1;

// Time limits: the defaults of the Windows data objects (ADO).
inline constexpr int kLoginTimeoutSeconds = 15;
inline constexpr int kCommandTimeoutSeconds = 30;

class ConnectionImpl;
class RecordsetImpl;

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Creates the object with its ODBC environment. A failure leaves no object and is reported only by the HRESULT.
    HRESULT CreateInstance();
    bool Exists() const noexcept { return m_impl != nullptr; }
    // Releases the object (closing an open connection without reporting errors).
    void Release() noexcept;

    // Parses the connection string ("Provider=...; Server=...; Database=...; UID=...; PWD=...;") and connects.
    void Open(const CString& connectionString, const CString& userId, const CString& password, long options);
    // Runs a statement that returns no rows; recordsAffected, when given, receives the number of rows it changed.
    void Execute(const CString& commandText, const std::vector<CString>& parameters, long options,
                 long* recordsAffected = nullptr);
    long GetState();
    void Close();

    // The ODBC connection string the last Open mapped to, with the password replaced by "***" (for diagnostics).
    CString MappedConnectionString() const;
    // Name of the ODBC driver in use after Open ("" before).
    CString DriverName() const;
    // What the next Open trusts for TLS (Transport.h's rule); the system's CAs until it is set.
    void SetTransportTrust(const TransportTrust& trust);
    // How the last Open protected (or would have protected) the login; also after an Open that failed.
    TransportReport Transport() const;

private:
    friend class Recordset;
    std::unique_ptr<ConnectionImpl> m_impl;
};

class Recordset {
public:
    Recordset();
    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    HRESULT CreateInstance();
    bool Exists() const noexcept { return m_impl != nullptr; }
    void Release() noexcept;

    // Runs the statement on the open connection and positions on its first row, if any.
    void Open(const CString& source, const std::vector<CString>& parameters, Connection& activeConnection,
              int cursorType, int lockType, long options);
    // True exactly when the result has no rows (read right after Open).
    bool IsEOF();
    void Close();

private:
    std::unique_ptr<RecordsetImpl> m_impl;
};

} // namespace enlistor::ado

#include "registration/Registration.h"

#include "platform/data/Ado.h"
#include "platform/data/Com.h"
#include "platform/net/ComputerName.h"

#include <algorithm>
#include <new>

namespace {

// The three statements of the registration. The address and the computer name are bound parameters, never part of
// the text, so any character in them (an apostrophe among them) is stored and compared as it stands.
constexpr const char* kCheckRegisteredStatement = "Select ServerIP from tblRegisteredServers where ServerIP = ?";
constexpr const char* kCheckServersStatement = "Select ServerIP from tblServers where ServerIP = ?";
constexpr const char* kInsertStatement =
    "Insert into tblRegisteredServers (ServerName, ServerIP, ServerType) values (?, ?, 'Windows')";

constexpr std::size_t kComputerNameBufferSize = 256;

// Overwrites the connection string (it holds the password) when the registration is done with it.
class WipeOnExit {
public:
    explicit WipeOnExit(CString& text) noexcept : m_text(text) {}
    ~WipeOnExit() {
        volatile char* bytes = m_text.data();
        for (std::size_t i = 0; i < m_text.size(); ++i)
            bytes[i] = 0;
        m_text.clear();
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    CString& m_text;
};

// A caught error replaces any earlier one and sets the result back to 0: the last assignment wins.
void note_error(RegistrationOutcome& outcome, const _com_error& error, RegistrationStep step) {
    outcome.result = 0;
    outcome.errorText = GetComErrorText(error);
    outcome.lastError = error;
    outcome.lastErrorStep = step;
}

// The name GetComputerNameA reports, or the empty text when it cannot be read.
CString read_computer_name() {
    char buffer[kComputerNameBufferSize];
    buffer[0] = '\0';
    DWORD size = kComputerNameBufferSize - 1;
    if (!GetComputerNameA(buffer, &size))
        return {};
    return CString(buffer, std::min<std::size_t>(size, kComputerNameBufferSize - 1));
}

// Creates the Connection object and opens it (block A). A creation failure is not reported by itself: Open through
// the missing object raises E_POINTER, which is what the caller then sees.
bool connect(ado::Connection& connection, const CString& connectionString, RegistrationOutcome& outcome) {
    try {
        (void)connection.CreateInstance();
        connection.Open(connectionString, "", "", 0);
        outcome.connected = true;
    } catch (const _com_error& e) {
        note_error(outcome, e, RegistrationStep::Connect);
    }
    if (connection.Exists()) {
        try {
            outcome.driverName = connection.DriverName();
            outcome.connectionTarget = connection.MappedConnectionString();
        } catch (const _com_error&) {
            // Diagnostics only; a connection that cannot describe itself is still used.
        }
    }
    return outcome.connected;
}

// Both duplicate checks (block B). Returns whether either found the address. The result becomes 1 when both ran;
// a failure leaves it 0 with the error noted, and the insert is still attempted unless a row had been found.
bool address_is_known(ado::Connection& connection, RegistrationOutcome& outcome) {
    bool known = false;
    try {
        ado::Recordset recordset;
        (void)recordset.CreateInstance();
        for (const char* statement : {kCheckRegisteredStatement, kCheckServersStatement}) {
            recordset.Open(statement, {outcome.address}, connection, ado::adOpenKeyset, ado::adLockOptimistic,
                           ado::adCmdText);
            if (!recordset.IsEOF())
                known = true;
            recordset.Close();
        }
        outcome.result = 1;
        recordset.Release();
    } catch (const _com_error& e) {
        note_error(outcome, e, RegistrationStep::Check);
    }
    return known;
}

// Inserts the machine's row (block C).
void insert_machine(ado::Connection& connection, RegistrationOutcome& outcome, const RegistrationOptions& options) {
    try {
        outcome.computerName = read_computer_name();
        if (options.insertWhenNew) {
            connection.Execute(kInsertStatement, {outcome.computerName, outcome.address}, 0);
            outcome.rowInserted = true;
            outcome.result = 1;
        }
    } catch (const _com_error& e) {
        note_error(outcome, e, RegistrationStep::Insert);
    }
}

// Closes an open connection and releases the object. A failure to read the State or to close is reported like
// every other database error (result 0, its text); the object is released in any case.
void disconnect(ado::Connection& connection, RegistrationOutcome& outcome) {
    if (!connection.Exists())
        return;
    try {
        if (connection.GetState() == ado::adStateOpen)
            connection.Close();
    } catch (const _com_error& e) {
        note_error(outcome, e, RegistrationStep::Disconnect);
    }
    connection.Release();
}

void run_registration(RegistrationOutcome& outcome, const RegistrationOptions& options) {
    CComScope com; // apartment-threaded for the span of the call; uninitialised on every path

    outcome.result = 0;
    outcome.errorText.clear();

    CString connectionString = GetConnectionString();
    WipeOnExit wipeConnectionString(connectionString);
    if (connectionString.empty())
        return;

    ado::Connection connection;
    if (connect(connection, connectionString, outcome)) {
        outcome.address = GetLocalIPAddress();
        outcome.alreadyKnown = address_is_known(connection, outcome);
        if (!outcome.alreadyKnown)
            insert_machine(connection, outcome, options);
    }
    disconnect(connection, outcome);
}

} // namespace

RegistrationOutcome RegisterMachineDetailed(const RegistrationOptions& options) {
    RegistrationOutcome outcome;
    // Every database error is caught in the block that meets it; only a failure outside the data objects gets here.
    // The database objects and the COM initialisation have been released on the way out.
    auto report = [&outcome](const _com_error& error) {
        try {
            note_error(outcome, error, RegistrationStep::Internal);
        } catch (...) {
            outcome.result = 0;
            outcome.errorText.clear();
        }
    };
    try {
        run_registration(outcome, options);
    } catch (const _com_error& e) {
        report(e);
    } catch (const std::bad_alloc&) {
        report(_com_error(E_OUTOFMEMORY));
    } catch (...) {
        report(_com_error(E_UNEXPECTED));
    }
    return outcome;
}

int RegisterMachine(char* errorText, std::size_t errorTextSize) {
    const RegistrationOutcome outcome = RegisterMachineDetailed();
    CopyErrorText(outcome.errorText, errorText, errorTextSize);
    return outcome.result;
}

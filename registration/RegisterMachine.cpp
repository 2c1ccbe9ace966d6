#include "registration/Registration.h"

#include "platform/data/Ado.h"
#include "platform/data/Com.h"
#include "platform/net/ComputerName.h"

#include <algorithm>
#include <cctype>
#include <new>

namespace {

// The three statements of the registration. The address and the computer name are bound parameters, never part of
// the text, so any character in them (an apostrophe among them) is stored and compared as it stands.
constexpr const char* kCheckRegisteredStatement = "Select ServerIP from tblRegisteredServers where ServerIP = ?";
constexpr const char* kCheckServersStatement = "Select ServerIP from tblServers where ServerIP = ?";
constexpr const char* kInsertStatement =
    "Insert into tblRegisteredServers (ServerName, ServerIP, ServerType) values (?, ?, '" ENLISTOR_SERVER_TYPE "')";
constexpr const char* kDeleteStatement = "Delete from tblRegisteredServers where ServerIP = ? and ServerName = ?";

// Why no address was found, as the selection rules decide it.
CString NoUsableAddressDescription() {
    return "No usable network address was found: only statically configured addresses of network adapters of a "
           "qualifying type (Ethernet, PPP, wireless) count; loopback, tunnel and DHCP-configured addresses do not.";
}

// A caught error replaces any earlier one and sets the result back to 0: the last assignment wins.
void note_error(RegistrationOutcome& outcome, const _com_error& error, RegistrationStep step) {
    outcome.result = 0;
    outcome.errorText = GetComErrorText(error);
    outcome.lastError = error;
    outcome.lastErrorStep = step;
}

// The address to use: the one given, else GetLocalIPAddress's. Empty is no usable address: noted as the error.
bool find_address(const RegistrationOptions& options, RegistrationOutcome& outcome) {
    outcome.address = options.address ? *options.address : GetLocalIPAddress();
    if (!outcome.address.empty())
        return true;
    note_error(outcome, _com_error(E_FAIL, kRegistrationErrorSource, NoUsableAddressDescription()),
               RegistrationStep::Address);
    return false;
}

// Creates the Connection object and opens it (block A). A creation failure is not reported by itself: Open through
// the missing object raises E_POINTER, which is what the caller then sees.
bool connect(enlistor::ado::Connection& connection, const CString& connectionString,
             const enlistor::ado::TransportTrust& trust, RegistrationOutcome& outcome) {
    try {
        (void)connection.CreateInstance();
        if (connection.Exists())
            connection.SetTransportTrust(trust);
        connection.Open(connectionString, "", "", 0);
        outcome.connected = true;
    } catch (const _com_error& e) {
        note_error(outcome, e, RegistrationStep::Connect);
    }
    if (connection.Exists()) {
        outcome.tls = connection.Transport();
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
bool address_is_known(enlistor::ado::Connection& connection, RegistrationOutcome& outcome) {
    bool known = false;
    try {
        enlistor::ado::Recordset recordset;
        (void)recordset.CreateInstance();
        for (const char* statement : {kCheckRegisteredStatement, kCheckServersStatement}) {
            recordset.Open(statement, {outcome.address}, connection, enlistor::ado::adOpenKeyset,
                           enlistor::ado::adLockOptimistic, enlistor::ado::adCmdText);
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
void insert_machine(enlistor::ado::Connection& connection, RegistrationOutcome& outcome,
                    const RegistrationOptions& options) {
    try {
        outcome.computerName = ReadComputerName();
        if (options.insertWhenNew) {
            connection.Execute(kInsertStatement, {outcome.computerName, outcome.address}, 0);
            outcome.rowInserted = true;
            outcome.result = 1;
            // The row went in although a duplicate check failed first: the caller is told, not only the error text.
            if (outcome.lastErrorStep == RegistrationStep::Check && outcome.lastError)
                outcome.warnings.push_back("a duplicate check failed: " + GetComErrorText(*outcome.lastError));
        }
    } catch (const _com_error& e) {
        note_error(outcome, e, RegistrationStep::Insert);
    }
}

// Closes an open connection and releases the object. A failure to read the State or to close is reported like
// every other database error (result 0, its text); the object is released in any case.
void disconnect(enlistor::ado::Connection& connection, RegistrationOutcome& outcome) {
    if (!connection.Exists())
        return;
    try {
        if (connection.GetState() == enlistor::ado::adStateOpen)
            connection.Close();
    } catch (const _com_error& e) {
        note_error(outcome, e, RegistrationStep::Disconnect);
    }
    connection.Release();
}

// Unregistering: an address in the suite's own server list stays; else this machine's rows go.
void remove_machine(enlistor::ado::Connection& connection, RegistrationOutcome& outcome) {
    try {
        enlistor::ado::Recordset recordset;
        (void)recordset.CreateInstance();
        recordset.Open(kCheckServersStatement, {outcome.address}, connection, enlistor::ado::adOpenKeyset,
                       enlistor::ado::adLockOptimistic, enlistor::ado::adCmdText);
        outcome.alreadyKnown = !recordset.IsEOF();
        recordset.Close();
        recordset.Release();
    } catch (const _com_error& e) {
        note_error(outcome, e, RegistrationStep::Check);
        return;
    }
    if (outcome.alreadyKnown) {
        note_error(outcome,
                   _com_error(E_FAIL, kRegistrationErrorSource,
                              "The address " + outcome.address +
                                  " is in the suite's server list (tblServers): the machine must be removed in the "
                                  "suite itself; nothing was removed."),
                   RegistrationStep::Check);
        return;
    }
    try {
        outcome.computerName = ReadComputerName();
        long removed = 0;
        connection.Execute(kDeleteStatement, {outcome.address, outcome.computerName}, 0, &removed);
        outcome.rowsRemoved = removed;
        outcome.result = 1;
    } catch (const _com_error& e) {
        note_error(outcome, e, RegistrationStep::Insert);
    }
}

enum class Mode { Register, Unregister };

bool same_text_nocase(const CString& a, const CString& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

void run_registration(RegistrationOutcome& outcome, const RegistrationOptions& options, Mode mode) {
    CComScope com; // apartment-threaded for the span of the call; uninitialised on every path

    outcome.result = 0;
    outcome.errorText.clear();

    // The stored settings are read once, by GetConnectionString()'s rules, for the string and the server's name.
    DatabaseSettingsValue stored;
    if (!options.settings)
        (void)LoadDatabaseSettingsValue(stored);
    const DatabaseSettingsValue& settings = options.settings ? *options.settings : stored;
    const SecretText connectionString = GetConnectionString(settings);
    if (connectionString.empty())
        return;
    const CString server = settings.server;
    ConnectionTrustSettings storedTrust;
    if (!options.trust)
        (void)LoadConnectionTrust(storedTrust);
    const enlistor::ado::TransportTrust trust = TransportTrustFor(options.trust ? *options.trust : storedTrust, server);

    enlistor::ado::Connection connection;
    if (connect(connection, connectionString.Text(), trust, outcome) && find_address(options, outcome)) {
        if (mode == Mode::Unregister) {
            remove_machine(connection, outcome);
        } else {
            outcome.alreadyKnown = address_is_known(connection, outcome);
            if (!outcome.alreadyKnown)
                insert_machine(connection, outcome, options);
        }
    }
    disconnect(connection, outcome);
}

} // namespace

enlistor::ado::TransportTrust TransportTrustFor(const ConnectionTrustSettings& trust, const CString& server) {
    enlistor::ado::TransportTrust result;
    result.caFile = trust.caFile;
    if (!trust.trustCert.empty())
        result.pinSha256 = enlistor::ado::NormaliseSha256(trust.trustCert).value_or("not a fingerprint");
    result.insecureLogin = !trust.insecureLoginServer.empty() && same_text_nocase(trust.insecureLoginServer, server);
    return result;
}

namespace {

RegistrationOutcome run_detailed(const RegistrationOptions& options, Mode mode) {
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
        run_registration(outcome, options, mode);
    } catch (const _com_error& e) {
        report(e);
    } catch (const std::bad_alloc&) {
        report(_com_error(E_OUTOFMEMORY));
    } catch (...) {
        report(_com_error(E_UNEXPECTED));
    }
    return outcome;
}

} // namespace

bool IsRegistrationRefusal(const _com_error& error) {
    return error.Source() == std::optional<CString>(kRegistrationErrorSource);
}

CString NoUsableAddressText() {
    return GetComErrorText(_com_error(E_FAIL, kRegistrationErrorSource, NoUsableAddressDescription()));
}

RegistrationOutcome RegisterMachineDetailed(const RegistrationOptions& options) {
    return run_detailed(options, Mode::Register);
}

RegistrationOutcome UnregisterMachineDetailed(const RegistrationOptions& options) {
    return run_detailed(options, Mode::Unregister);
}

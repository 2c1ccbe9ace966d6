// Entering this machine into the suite's server list.
#pragma once

#include "common/Secret.h"
#include "common/Text.h"
#include "platform/data/ComError.h"
#include "platform/data/Transport.h"
#include "settings/DatabaseSettings.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

// The source of the errors the registration itself raises (not the data objects); their description is the whole
// sentence for the operator.
inline constexpr char kRegistrationErrorSource[] = "Server registration";

// The ServerType the registration stores for this machine (the insert statement spells it from the macro).
#define ENLISTOR_SERVER_TYPE "Windows"
inline constexpr char kServerType[] = ENLISTOR_SERVER_TYPE;

// Size of the dialog's error-text area: its Error box shows at most kErrorTextSize - 1 bytes of the text.
inline constexpr std::size_t kErrorTextSize = 512;

// The provider name of the newest installed SQL Server client driver ("SQLNCLI11", "SQLNCLI10", "SQLNCLI"), else
// "SQLOLEDB".
CString GetProviderName();
// "Provider=%s; Server=%s; Database=%s; UID=%s; PWD=%s;" from the stored settings as LoadDatabaseSettingsValue reads
// them (the password decrypted). A value that the connection-string parser would otherwise read back differently is
// quoted (enlistor::ado::QuoteConnectionStringValue); every other value stands as stored. The text holds the password:
// it is wiped when the result goes away.
SecretText GetConnectionString();
// The same string from the given settings instead of the stored ones (the commands that connect with values they
// were given without storing them).
SecretText GetConnectionString(const DatabaseSettingsValue& settings);
// The machine's address text: the first IPv4 address of a statically configured adapter of a qualifying type, else
// the first such IPv6 address, else the empty text.
CString GetLocalIPAddress();
// "%s Error %ld%s%s": source, HRESULT, description, system message.
CString GetComErrorText(const _com_error& e);
// Copies text into the area (areaSize bytes) with a terminating zero, cut to fit: a text longer than areaSize - 1
// bytes loses its tail, never part of a UTF-8 character. Does nothing when the area is null or has no room.
void CopyErrorText(const CString& text, char* area, std::size_t areaSize);
// Whether DescribeDataError makes the sentence the whole description (a refused setting, a login not sent): the
// report shows the description as the cause, with no driver's text beside it.
[[nodiscard]] constexpr bool DescriptionIsTheCause(DataErrorCause cause) noexcept {
    return cause == DataErrorCause::SettingUnusable || cause == DataErrorCause::ServerCannotEncrypt ||
           cause == DataErrorCause::CertificateUntrusted || cause == DataErrorCause::TlsFailed;
}
// A data-object error with the sentence naming its cause and the setting to check ("Cannot reach the database server
// 'db01': connection refused. Check Database Server Name.") before the driver's text (WithCauseSentence), or as the
// whole description (DescriptionIsTheCause). server, database, login: the settings connected with (never the
// password); wire: the connection's report for an error of Open, nullptr after it. Other errors are returned as is.
[[nodiscard]] _com_error DescribeDataError(const _com_error& error, const CString& server, const CString& database,
                                           const CString& login, const enlistor::ado::TransportReport* wire = nullptr);

// The part of the registration that raised the error an outcome reports.
enum class RegistrationStep {
    None,       // no error
    Connect,    // creating the Connection object or opening it
    Check,      // the two duplicate checks (creating the Recordset object included)
    Address,    // no usable address to register (none found, or an empty one given)
    Insert,     // reading the computer name and inserting the row (or, unregistering, deleting it)
    Disconnect, // reading the connection's State or closing it
    Internal,   // a failure outside the data objects (memory)
};

struct RegistrationOptions {
    // false: everything up to the insert runs (the connection, both checks, the computer name), but no row is
    // written; outcome.rowInserted stays false and the result is that of the checks.
    bool insertWhenNew = true;
    // The address to register (or unregister) instead of GetLocalIPAddress's, e.g. on a machine whose addresses all
    // come from a configuration server. Used as given; an empty one is "no usable address".
    std::optional<CString> address;
    // The settings to connect with instead of the stored ones; nothing is stored.
    std::shared_ptr<const DatabaseSettingsValue> settings;
    // The connection's TLS trust instead of the stored one (LoadConnectionTrust); nothing is stored.
    std::shared_ptr<const ConnectionTrustSettings> trust;
};

// Everything one registration found out. RegisterMachine reports result and errorText of it.
struct RegistrationOutcome {
    int result = 0;    // 1: registered or already known; 0: failure
    CString errorText; // the text of the last error caught ("%s Error %ld%s%s"), whole; empty when none
    std::optional<_com_error> lastError; // the error errorText was made from (HRESULT, SQLSTATE, source...)
    RegistrationStep lastErrorStep = RegistrationStep::None;
    bool connected = false;    // Open succeeded
    bool alreadyKnown = false; // a check found the address (unregistering: it is in tblServers)
    bool rowInserted = false;  // the insert ran and succeeded
    long rowsRemoved = 0;      // unregistering: the rows the delete removed (0: the machine was not registered)
    CString address;           // the address text used (possibly empty); set once connected
    CString computerName;      // the computer name used; set when the insert step is reached
    CString driverName;        // the ODBC driver the connection used; set once connected
    CString connectionTarget;  // the ODBC connection string it mapped to, password shown as "***"
    // What went wrong although the result is 1: a duplicate check that failed before a successful insert (its error
    // also stays in errorText, as the transaction keeps it). Each is a sentence, "a duplicate check failed: ...".
    std::vector<CString> warnings;
    enlistor::ado::TransportReport tls; // how the login was (or would have been) protected on the wire
};

// True when the error is one the registration raises itself (no usable address, an address in tblServers): its
// description is the whole sentence of what happened, not a database's error.
[[nodiscard]] bool IsRegistrationRefusal(const _com_error& error);

// The data objects' trust for a connection to server: the CA file, the pin (normalised; one that is no fingerprint
// matches no certificate), and the opt-out when it was given for this server (compared case-insensitively).
enlistor::ado::TransportTrust TransportTrustFor(const ConnectionTrustSettings& trust, const CString& server);

// The text (in the "%s Error %ld%s%s" form) of a registration that found no usable address.
CString NoUsableAddressText();

// The registration transaction with its full outcome. Never throws; COM is balanced on return. With no usable
// address (GetLocalIPAddress gives the empty text, or options.address is empty) nothing is checked or inserted: the
// result is 0 with NoUsableAddressText(), step Address.
RegistrationOutcome RegisterMachineDetailed(const RegistrationOptions& options = {});

// Takes the machine out of tblRegisteredServers, with the same connection, address rules, time limits and outcome
// reporting as RegisterMachineDetailed (options.insertWhenNew is not used). An address found in tblServers belongs to
// the suite's own server list: nothing is deleted and the result is 0 with a text saying it must be removed in the
// suite (alreadyKnown set). Else the rows with this address and computer name are deleted: result 1, rowsRemoved
// their number (0: the machine was not registered).
RegistrationOutcome UnregisterMachineDetailed(const RegistrationOptions& options = {});

#include "cli/Commands.h"

#include "cli/Json.h"
#include "cli/Outcome.h"
#include "cli/Secret.h"
#include "common/FormatString.h"
#include "platform/data/Ado.h"
#include "platform/data/Com.h"
#include "platform/data/ErrorAdvice.h"
#include "registration/Registration.h"
#include "settings/DatabaseSettings.h"

#include <array>
#include <string.h> // explicit_bzero

BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);

namespace {

constexpr char kSuccessText[] = "Server registered successfully";
constexpr char kSettingsKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\General";
constexpr char kCheckRegistered[] = "Select ServerIP from tblRegisteredServers where ServerIP = ?";
constexpr char kCheckServers[] = "Select ServerIP from tblServers where ServerIP = ?";
constexpr char kServerType[] = "Windows";
constexpr char kPasswordMask[] = "********";

// The five settings as the dialog holds them; the password is wiped with the object.
struct settings_values {
    CString server;
    CString serverIP;
    CString database;
    CString login;
    SecretText password;
};

void load_settings(settings_values& values) {
    (void)LoadDatabaseSettings(values.server, values.serverIP, values.database, values.login, values.password.Text());
}

// Stores all five values and tells whether every one of them reached the store: the values read back are compared
// with those written.
bool save_settings_checked(const settings_values& values) {
    (void)SaveDatabaseSettings(values.server, values.serverIP, values.database, values.login, values.password.Text());
    settings_values stored;
    load_settings(stored);
    return stored.server == values.server && stored.serverIP == values.serverIP && stored.database == values.database &&
           stored.login == values.login && stored.password.Text() == values.password.Text();
}

// The machine's computer name by the rule the registration uses (the short host name; empty when unreadable).
CString computer_name() {
    std::array<char, 256> buffer{};
    DWORD size = 255;
    if (!GetComputerNameA(buffer.data(), &size))
        return {};
    return CString(buffer.data(), size < buffer.size() ? size : buffer.size() - 1);
}

void print_line(std::FILE* stream, const CString& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void print_field(std::FILE* stream, const char* label, const CString& value) {
    print_line(stream, FormatString("%-22s %s", label, value.c_str()));
}

CString masked(const CString& password) {
    return password.empty() ? CString() : CString(kPasswordMask);
}

// The error text of a failed command, as text or JSON, and its exit code.
struct failure {
    int exitCode = kExitFailure;
    CString text;
};

} // namespace

int RunRegister(const CommandLineOptions& options, std::FILE* out, std::FILE* err) {
    JsonObject json;
    json.Add("command", "register");
    const auto finish = [&](const char* outcome, int exitCode, const CString& address, const CString& name,
                            const CString& error) {
        if (options.json) {
            json.Add("outcome", outcome).Add("exit_code", exitCode).Add("address", address);
            json.Add("computer_name", name).Add("error", error);
            print_line(out, json.Text());
        } else if (exitCode == kExitOk) {
            print_line(out, kSuccessText);
        } else {
            print_line(err, error);
        }
        return exitCode;
    };

    SecretText newPassword;
    if (options.passwordFile) {
        CString reason;
        if (!ReadPassword(*options.passwordFile, newPassword, reason))
            return finish("usage", kExitUsage, {}, {}, "enlistor: " + reason);
        if (newPassword.Text().size() >= kEncryptedPasswordMinLength)
            return finish("usage", kExitUsage, {}, {},
                          FormatString("enlistor: the password has %zu characters; the settings store takes a text "
                                       "of %zu characters or more to be encrypted already, so it must be shorter",
                                       newPassword.Text().size(), kEncryptedPasswordMinLength));
    }

    // The snapshot: the settings as stored now, which a failed registration puts back.
    settings_values snapshot;
    load_settings(snapshot);
    settings_values wanted;
    wanted.server = options.server.value_or(snapshot.server);
    wanted.serverIP = options.serverIP.value_or(snapshot.serverIP);
    wanted.database = options.database.value_or(snapshot.database);
    wanted.login = options.login.value_or(snapshot.login);
    wanted.password.Text() = options.passwordFile ? newPassword.Text() : snapshot.password.Text();
    const auto redact = [&](const CString& text) {
        return RedactSecrets(text, wanted.password.Text(), snapshot.password.Text());
    };

    const CString address = GetLocalIPAddress();
    const CString name = computer_name();

    if (!save_settings_checked(wanted)) {
        // Some values may have been written: put back what was there, as far as the store lets us.
        (void)save_settings_checked(snapshot);
        return finish("failed", kExitNotAllowed, address, name,
                      FormatString("enlistor: cannot store the settings under %s: access denied. Run as root, or "
                                   "check that the registry directory is writable.",
                                   kSettingsKey));
    }

    std::array<char, kErrorTextSize> errorArea{};
    const int result = RegisterMachine(errorArea.data(), errorArea.size());
    const CString errorText = redact(CString(errorArea.data()));
    explicit_bzero(errorArea.data(), errorArea.size());

    int exitCode = kExitOk;
    CString reportedError = errorText;
    if (result != 1) {
        exitCode = ExitCodeForError({}, HresultFromErrorText(errorText), errorText);
        if (!save_settings_checked(snapshot))
            reportedError += FormatString("\nenlistor: warning: the earlier settings could not be stored back under %s",
                                          kSettingsKey);
    } else if (!errorText.empty() && !options.json) {
        // Success after a failed duplicate check: the row went in, but say what the check met.
        print_line(err, "enlistor: warning: a duplicate check failed before the insert: " + errorText);
    }
    // As the dialog does at the end of every run.
    settings_values reloaded;
    load_settings(reloaded);
    return finish(result == 1 ? "registered" : "failed", exitCode, address, name, reportedError);
}

int RunCheck(const CommandLineOptions& options, std::FILE* out, std::FILE* err) {
    const bool text = !options.json;
    settings_values settings;
    load_settings(settings);
    const auto redact = [&](const CString& t) { return RedactSecrets(t, settings.password.Text()); };

    const CString provider = GetProviderName();
    const CString address = GetLocalIPAddress();
    const CString name = computer_name();
    if (text) {
        print_field(out, "Database Server Name:", settings.server);
        print_field(out, "Database Server IP:", settings.serverIP);
        print_field(out, "Database Name:", settings.database);
        print_field(out, "Database Login:", settings.login);
        print_field(out, "Database Password:", settings.password.Text().empty() ? "(empty)" : kPasswordMask);
        print_field(out, "Provider:", provider);
        print_field(out, "Address:", address.empty() ? CString("(none found)") : address);
        print_field(out, "Computer name:", name);
    }

    CString driver;
    CString mapped;
    bool known = false;
    failure failed;
    bool ok = false;
    {
        CComScope com;
        ado::Connection connection;
        try {
            CString connectionString = GetConnectionString();
            const HRESULT created = connection.CreateInstance();
            if (FAILED(created))
                throw _com_error(created);
            try {
                connection.Open(connectionString, "", "", 0);
            } catch (...) {
                WipeText(connectionString);
                driver = connection.DriverName();
                mapped = redact(connection.MappedConnectionString());
                throw;
            }
            WipeText(connectionString);
            driver = connection.DriverName();
            mapped = redact(connection.MappedConnectionString());
            if (text) {
                print_field(out, "ODBC driver:", driver);
                print_field(out, "ODBC connection:", mapped);
            }
            ado::Recordset recordset;
            const HRESULT rsCreated = recordset.CreateInstance();
            if (FAILED(rsCreated))
                throw _com_error(rsCreated);
            for (const char* statement : {kCheckRegistered, kCheckServers}) {
                recordset.Open(statement, {address}, connection, ado::adOpenKeyset, ado::adLockOptimistic,
                               ado::adCmdText);
                const bool found = !recordset.IsEOF();
                recordset.Close();
                known = known || found;
                if (text)
                    print_field(out, statement == kCheckRegistered ? "In tblRegisteredServers:" : "In tblServers:",
                                found ? "yes" : "no");
            }
            if (connection.GetState() == ado::adStateOpen)
                connection.Close();
            ok = true;
        } catch (const _com_error& e) {
            const CString errorText = redact(GetComErrorText(e));
            failed.exitCode = ExitCodeForError(e.SqlState(), e.Error(), e.Description().value_or("") + " " + errorText);
            failed.text = errorText;
        }
    }

    const int exitCode = ok ? kExitOk : failed.exitCode;
    const char* outcome = !ok ? "failed" : known ? "already-registered" : "not-registered";
    if (text) {
        if (ok && known)
            print_field(out, "Result:", "already registered");
        else if (ok)
            print_field(out, "Result:",
                        FormatString("not registered; register would insert ServerName='%s', ServerIP='%s', "
                                     "ServerType='%s' into tblRegisteredServers",
                                     name.c_str(), address.c_str(), kServerType));
        else
            print_line(err, failed.text);
        return exitCode;
    }

    JsonObject json;
    json.Add("command", "check").Add("outcome", outcome).Add("exit_code", exitCode);
    json.Add("address", address).Add("computer_name", name).Add("error", failed.text);
    JsonObject stored;
    stored.Add("database_server", settings.server).Add("database_server_ip", settings.serverIP);
    stored.Add("database_name", settings.database).Add("database_login", settings.login);
    stored.Add("database_password", masked(settings.password.Text()));
    json.Add("settings", stored).Add("provider", provider).Add("odbc_driver", driver).Add("odbc_connection", mapped);
    if (ok && !known) {
        JsonObject row;
        row.Add("ServerName", name).Add("ServerIP", address).Add("ServerType", kServerType);
        json.Add("would_insert", row);
    } else {
        json.AddNull("would_insert");
    }
    print_line(out, json.Text());
    return exitCode;
}

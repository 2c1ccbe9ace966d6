#include "cli/Commands.h"

#include "cli/Json.h"
#include "cli/Outcome.h"
#include "cli/Secret.h"
#include "common/FormatString.h"
#include "platform/data/ErrorAdvice.h"
#include "platform/net/ComputerName.h"
#include "registration/Registration.h"
#include "settings/DatabaseSettings.h"

#include <array>

namespace {

constexpr char kSuccessText[] = "Server registered successfully";
constexpr char kSettingsKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\General";
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

// Stores all five values; false (with the first failing value's reason) unless every one was written.
bool save_settings_checked(const settings_values& values, CString* reason = nullptr) {
    return SaveDatabaseSettingsChecked(values.server, values.serverIP, values.database, values.login,
                                       values.password.Text(), reason);
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

// A system message without its line end, and with a full stop to end the sentence.
CString trimmed(CString text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty())
        text = "the registry refused the write";
    if (text.back() != '.')
        text += '.';
    return text;
}

CString masked(const CString& password) {
    return password.empty() ? CString() : CString(kPasswordMask);
}

// The exit code of a registration that failed, from the error it reports.
int exit_code_for(const RegistrationOutcome& outcome) {
    if (!outcome.lastError)
        return ExitCodeForError({}, HresultFromErrorText(outcome.errorText), outcome.errorText);
    const _com_error& e = *outcome.lastError;
    return ExitCodeForError(e.SqlState(), e.Error(), e.Description().value_or(CString()));
}

// The registration's error text with the sentence that names the cause at the start of the description, inside
// the same "%s Error %ld%s%s" form; unchanged when the cause is not known or the description already starts so.
CString error_text_with_cause(const RegistrationOutcome& outcome, const settings_values& settings) {
    if (!outcome.lastError || !outcome.lastError->Description())
        return outcome.errorText;
    const _com_error& e = *outcome.lastError;
    const CString description = *e.Description();
    const CString sentence =
        DescribeCause(e.SqlState(), e.Error(), settings.server, settings.database, settings.login, description);
    if (sentence.empty() || description.rfind(sentence, 0) == 0)
        return outcome.errorText;
    return GetComErrorText(
        _com_error(e.Error(), e.Source().value_or(CString()), sentence + " " + description, e.SqlState()));
}

// The address and computer name the registration used; where it did not get that far (no connection), the ones the
// same rules give now.
void fill_identity(RegistrationOutcome& outcome) {
    if (!outcome.connected)
        outcome.address = GetLocalIPAddress();
    if (outcome.computerName.empty())
        outcome.computerName = computer_name();
}

} // namespace

int RunRegister(const CommandLineOptions& options, std::FILE* out, std::FILE* err) {
    const auto finish = [&](const char* outcome, int exitCode, const CString& address, const CString& name,
                            const CString& error) {
        if (options.json) {
            JsonObject json;
            json.Add("command", "register").Add("outcome", outcome).Add("exit_code", exitCode);
            json.Add("address", address).Add("computer_name", name).Add("error", error);
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

    CString reason;
    if (!save_settings_checked(wanted, &reason)) {
        // Some values may have been written: put back what was there, as far as the store lets us.
        (void)save_settings_checked(snapshot);
        return finish("failed", kExitNotAllowed, GetLocalIPAddress(), computer_name(),
                      FormatString("enlistor: cannot store the settings under %s: %s Run as root, or check that the "
                                   "registry directory is writable.",
                                   kSettingsKey, trimmed(reason).c_str()));
    }

    RegistrationOutcome outcome = RegisterMachineDetailed();
    fill_identity(outcome);
    const CString errorText = redact(error_text_with_cause(outcome, wanted));
    WipeText(outcome.errorText);

    int exitCode = kExitOk;
    CString reportedError = errorText;
    if (outcome.result != 1) {
        exitCode = exit_code_for(outcome);
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
    const char* result = outcome.result != 1 ? "failed" : outcome.alreadyKnown ? "already-registered" : "registered";
    return finish(result, exitCode, outcome.address, outcome.computerName, reportedError);
}

int RunCheck(const CommandLineOptions& options, std::FILE* out, std::FILE* err) {
    const bool text = !options.json;
    settings_values settings;
    load_settings(settings);
    const auto redact = [&](const CString& t) { return RedactSecrets(t, settings.password.Text()); };
    const CString provider = GetProviderName();

    // Everything the registration does up to the insert, and not the insert: connect, both checks.
    RegistrationOptions checkOnly;
    checkOnly.insertWhenNew = false;
    RegistrationOutcome outcome = RegisterMachineDetailed(checkOnly);
    fill_identity(outcome);
    const bool ok = outcome.result == 1;
    const int exitCode = ok ? kExitOk : exit_code_for(outcome);
    const CString errorText = redact(error_text_with_cause(outcome, settings));
    const CString mapped = redact(outcome.connectionTarget);
    const char* result = !ok ? "failed" : outcome.alreadyKnown ? "already-registered" : "not-registered";

    if (text) {
        print_field(out, "Database Server Name:", settings.server);
        print_field(out, "Database Server IP:", settings.serverIP);
        print_field(out, "Database Name:", settings.database);
        print_field(out, "Database Login:", settings.login);
        print_field(out, "Database Password:", settings.password.Text().empty() ? "(empty)" : kPasswordMask);
        print_field(out, "Provider:", provider);
        print_field(out, "ODBC driver:", outcome.driverName.empty() ? CString("(none)") : outcome.driverName);
        print_field(out, "ODBC connection:", mapped.empty() ? CString("(none)") : mapped);
        print_field(out, "Address:", outcome.address.empty() ? CString("(none found)") : outcome.address);
        print_field(out, "Computer name:", outcome.computerName);
        print_field(out, "Connected:", outcome.connected ? "yes" : "no");
        if (ok && outcome.alreadyKnown)
            print_field(out, "Result:", "already registered");
        else if (ok)
            print_field(out, "Result:",
                        FormatString("not registered; register would insert ServerName='%s', ServerIP='%s', "
                                     "ServerType='%s' into tblRegisteredServers",
                                     outcome.computerName.c_str(), outcome.address.c_str(), kServerType));
        else
            print_line(err, errorText);
        return exitCode;
    }

    JsonObject json;
    json.Add("command", "check").Add("outcome", result).Add("exit_code", exitCode);
    json.Add("address", outcome.address).Add("computer_name", outcome.computerName).Add("error", errorText);
    JsonObject stored;
    stored.Add("database_server", settings.server).Add("database_server_ip", settings.serverIP);
    stored.Add("database_name", settings.database).Add("database_login", settings.login);
    stored.Add("database_password", masked(settings.password.Text()));
    json.Add("settings", stored).Add("provider", provider).Add("odbc_driver", outcome.driverName);
    json.Add("odbc_connection", mapped).Add("connected", outcome.connected);
    if (ok && !outcome.alreadyKnown) {
        JsonObject row;
        row.Add("ServerName", outcome.computerName).Add("ServerIP", outcome.address).Add("ServerType", kServerType);
        json.Add("would_insert", row);
    } else {
        json.AddNull("would_insert");
    }
    print_line(out, json.Text());
    return exitCode;
}

int RunUnregister(const CommandLineOptions& /*options*/, std::FILE* /*out*/, std::FILE* err) {
    print_line(err, "enlistor: unregister is not available yet");
    return kExitFailure;
}

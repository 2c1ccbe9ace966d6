#include "cli/Commands.h"

#include "cli/Json.h"
#include "cli/Secret.h"
#include "common/FormatString.h"
#include "common/PlainText.h"
#include "platform/data/ErrorAdvice.h"
#include "platform/net/ComputerName.h"
#include "registration/Registration.h"
#include "settings/DatabaseSettings.h"
#include "workflow/ExitCodes.h"
#include "workflow/MachineLock.h"
#include "workflow/RegisterWorkflow.h"
#include "workflow/SignalDeferral.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using json = nlohmann::ordered_json;

constexpr char kSuccessText[] = "Server registered successfully";
constexpr char kServerType[] = "Windows";
constexpr char kPasswordMask[] = "********";
constexpr char kNoServerText[] = "no database server is set: give --server or store one with the dialog";

void print_line(std::FILE* stream, const CString& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// A text from outside (a driver's message, a stored value) as the terminal may show it.
CString shown(const CString& text) {
    return PlainText(text);
}

void print_field(std::FILE* stream, const char* label, const CString& value) {
    print_line(stream, FormatString("%-22s %s", label, shown(value).c_str()));
}

CString masked(const SecretText& password) {
    return password.empty() ? CString() : CString(kPasswordMask);
}

// The settings the command works with: the stored ones, with each value the command line gives in its place.
DatabaseSettingsValue with_options(const DatabaseSettingsValue& stored, const CommandLineOptions& options,
                                   const std::optional<SecretText>& password) {
    DatabaseSettingsValue wanted;
    wanted.server = options.server.value_or(stored.server);
    wanted.serverIP = options.serverIP.value_or(stored.serverIP);
    wanted.database = options.database.value_or(stored.database);
    wanted.login = options.login.value_or(stored.login);
    wanted.password = password ? password->Copy() : stored.password.Copy();
    return wanted;
}

// The TLS trust the command works with: the stored one, with each trust option the command line gives in its place
// (--insecure-login names the server it is given for).
ConnectionTrustSettings with_trust_options(const ConnectionTrustSettings& stored, const CommandLineOptions& options,
                                           const CString& server) {
    ConnectionTrustSettings trust = stored;
    if (options.caFile)
        trust.caFile = *options.caFile;
    if (options.trustCert)
        trust.trustCert = *options.trustCert;
    if (options.insecureLogin)
        trust.insecureLoginServer = server;
    return trust;
}

bool trust_given(const CommandLineOptions& options) {
    return options.caFile || options.trustCert || options.insecureLogin;
}

// The "tls" member: how the login was (or would have been) protected; null when nothing crossed the network.
json tls_object(const enlistor::ado::TransportReport& tls) {
    if (!tls.overNetwork)
        return nullptr;
    return {{"encrypted", tls.encrypted},
            {"verified", tls.verified},
            {"by", tls.by},
            {"certificate_sha256", tls.certificateSha256},
            {"subject", tls.subject},
            {"issuer", tls.issuer},
            {"not_before", tls.notBefore},
            {"not_after", tls.notAfter},
            {"setting", tls.setting},
            {"warning", tls.warning}};
}

// The one line the text output gives the wire's protection.
CString tls_line(const enlistor::ado::TransportReport& tls) {
    if (!tls.overNetwork)
        return "not used (no network connection)";
    CString line;
    if (tls.verified)
        line = tls.by == "pin" ? "encrypted, server verified by its pinned certificate"
                               : "encrypted, server verified by a trusted CA";
    else if (tls.encrypted)
        line = "encrypted, server NOT verified";
    else
        line = "NOT encrypted";
    if (!tls.certificateSha256.empty())
        line += "; certificate SHA-256 " + tls.certificateSha256 + " (" + tls.subject + ")";
    if (!tls.setting.empty())
        line += "; set by the data source: " + tls.setting;
    return line;
}

// Every run that sent the login unprotected says so.
void warn_unprotected(std::FILE* err, const enlistor::ado::TransportReport& tls) {
    if (!tls.warning.empty())
        print_line(err, "enlistor: warning: " + shown(tls.warning));
}

// Why a failed run failed, in the forms the command line reports: a first line naming the cause and the setting to
// check, the driver's own text below it, and the exact text the dialog shows.
struct failure_report {
    CString cause;      // the sentence, or the workflow's own reason
    CString detail;     // the driver's text, possibly several lines; empty when there is none
    CString dialogText; // "%s Error %ld%s%s" as the dialog's error box shows it; empty when no database error
    std::optional<HRESULT> hresult;
};

failure_report describe_failure(const RegistrationOutcome& outcome, const CString& workflowFailure,
                                const DatabaseSettingsValue& used) {
    failure_report report;
    const auto redact = [&](const CString& text) { return RedactSecrets(text, used.password.Text()); };
    if (!workflowFailure.empty()) {
        report.cause = redact(workflowFailure);
        return report;
    }
    report.dialogText = redact(outcome.errorText);
    if (!outcome.lastError) {
        report.cause = report.dialogText.empty() ? CString("the registration failed") : report.dialogText;
        return report;
    }
    const _com_error& e = *outcome.lastError;
    report.hresult = e.Error();
    const CString description = redact(e.Description().value_or(CString()));
    const CString sentence = DescribeCause(e.Cause(), used.server, used.database, used.login, description);
    CString driverText = description;
    if (!sentence.empty() && description.rfind(sentence, 0) == 0)
        driverText = description.substr(sentence.size());
    while (!driverText.empty() && (driverText.front() == ' ' || driverText.front() == '\n'))
        driverText.erase(0, 1);
    if (sentence.empty() && (DescriptionIsTheCause(e.Cause()) || IsRegistrationRefusal(e))) {
        // The description is the sentence itself: it names the setting and why the driver cannot take it (or why
        // the login was not sent), or what the registration refused to do.
        report.cause = description;
        driverText.clear();
    } else {
        report.cause = sentence.empty() ? CString("the database reported an error") : sentence;
    }
    const CString source = e.Source().value_or(CString());
    report.detail = FormatString("%s%sError %ld%s%s", source.c_str(), source.empty() ? "" : " ",
                                 static_cast<long>(e.Error()), driverText.empty() ? "" : ": ", driverText.c_str());
    return report;
}

// "enlistor: <cause>" and the driver's text indented below it, every line ended.
void print_failure(std::FILE* err, const failure_report& report) {
    print_line(err, "enlistor: " + shown(report.cause));
    CString detail = shown(report.detail);
    while (!detail.empty() && detail.back() == '\n')
        detail.pop_back();
    std::size_t start = 0;
    while (start < detail.size()) {
        const std::size_t end = detail.find('\n', start);
        print_line(err, "    " + detail.substr(start, end == CString::npos ? CString::npos : end - start));
        start = end == CString::npos ? detail.size() : end + 1;
    }
}

json failure_fields(const failure_report& report) {
    json fields;
    fields["error"] = report.dialogText.empty() ? "enlistor: " + report.cause : report.dialogText;
    fields["cause"] = report.cause;
    fields["hresult"] = report.hresult ? json(static_cast<long>(*report.hresult)) : json(nullptr);
    return fields;
}

// The members every command's JSON object starts with: command, outcome, exit code, address, computer name, and the
// error, its cause and HRESULT (empty and null on success).
json result_object(const char* command, const char* word, int exitCode, const RegistrationOutcome& outcome,
                   const failure_report& failure) {
    json object = {{"command", command},
                   {"outcome", word},
                   {"exit_code", exitCode},
                   {"address", outcome.address},
                   {"computer_name", outcome.computerName}};
    object["tls"] = tls_object(outcome.tls);
    if (exitCode == kExitOk) {
        object["error"] = "";
        object["cause"] = "";
        object["hresult"] = nullptr;
    } else {
        object.update(failure_fields(failure));
    }
    return object;
}

CString settings_error_text(const SettingsStoreError& error, const char* what) {
    CString text = error.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty())
        text = FormatString("error %lu", static_cast<unsigned long>(error.code));
    return FormatString("cannot %s the setting %s under HKEY_LOCAL_MACHINE\\%s: %s", what, error.valueName.c_str(),
                        SettingsKeyPath().c_str(), text.c_str());
}

// The command line's part of the Register workflow: the snapshot is what is stored, the typed values are the
// options over it, the outcome is one line (or one JSON object).
class CommandLineFace final : public IRegisterFace {
public:
    CommandLineFace(const CommandLineOptions& options, std::optional<SecretText> password, std::FILE* out,
                    std::FILE* err)
        : m_options(options), m_password(std::move(password)), m_out(out), m_err(err) {}

    std::optional<WorkflowStop> TakeSnapshot(DatabaseSettingsValue& snapshot) override {
        SettingsStoreError error;
        if (!LoadDatabaseSettingsValue(snapshot, &error))
            return WorkflowStop{settings_error_text(error, "read"), kExitNotAllowed, false};
        m_snapshot = snapshot.Copy();
        if (!LoadConnectionTrust(m_trustSnapshot, &error))
            return WorkflowStop{settings_error_text(error, "read"), kExitNotAllowed, false};
        return std::nullopt;
    }

    std::optional<WorkflowStop> StoreTyped(DatabaseSettingsValue& typed) override {
        typed = with_options(m_snapshot, m_options, m_password);
        if (typed.server.empty())
            return WorkflowStop{kNoServerText, kExitUsage, false};
        SettingsStoreError error;
        if (!SaveDatabaseSettingsValue(typed, &error))
            return WorkflowStop{settings_error_text(error, "store") +
                                    ". Run as root, or check that the registry directory is writable.",
                                kExitNotAllowed, true};
        m_typed = typed.Copy();
        if (trust_given(m_options)) {
            m_trustStored = true;
            if (!SaveConnectionTrust(with_trust_options(m_trustSnapshot, m_options, typed.server), &error))
                return WorkflowStop{settings_error_text(error, "store") +
                                        ". Run as root, or check that the registry directory is writable.",
                                    kExitNotAllowed, true};
        }
        return std::nullopt;
    }

    // The registration runs on its own thread so that an interrupt (held back by the workflow) cuts it short: the
    // run is then reported as failed and the settings are put back at once, instead of after the server's time
    // limits. The abandoned thread ends with the process, which the held-back signal then ends.
    RegistrationOutcome Register() override {
        struct shared_state {
            std::mutex mutex;
            std::condition_variable done;
            std::optional<RegistrationOutcome> outcome;
        };
        auto state = std::make_shared<shared_state>();
        RegistrationOptions registration;
        registration.address = m_options.address;
        std::thread worker([state, registration] {
            RegistrationOutcome outcome = RegisterMachineDetailed(registration);
            const std::lock_guard lock(state->mutex);
            state->outcome = std::move(outcome);
            state->done.notify_all();
        });
        std::unique_lock lock(state->mutex);
        while (!state->outcome) {
            if (const int sig = SignalDeferral::Pending(); sig != 0) {
                lock.unlock();
                worker.detach(); // ends with the process, which the held-back signal ends after the roll-back
                RegistrationOutcome interrupted;
                const char* name = sigabbrev_np(sig);
                interrupted.errorText = FormatString("interrupted by SIG%s: the registration was cut short and the "
                                                     "earlier settings are put back",
                                                     name != nullptr ? name : "?");
                return interrupted;
            }
            state->done.wait_for(lock, std::chrono::milliseconds(20));
        }
        RegistrationOutcome outcome = std::move(*state->outcome);
        lock.unlock();
        worker.join();
        return outcome;
    }

    void Report(const WorkflowResult& result) override {
        const RegistrationOutcome& outcome = result.registration;
        const bool ok = result.exitCode == kExitOk;
        const char* word = RegisterOutcomeWord(result);
        const failure_report failure = describe_failure(outcome, result.failure, m_typed);
        warn_unprotected(m_err, outcome.tls);
        if (m_options.json) {
            json object = result_object("register", word, result.exitCode, outcome, failure);
            object["row_inserted"] = outcome.rowInserted;
            object["settings_changed"] = ok && !(m_typed == m_snapshot);
            json warnings = json::array();
            for (const CString& warning : outcome.warnings)
                warnings.push_back(RedactSecrets(warning, m_typed.password.Text()));
            object["warnings"] = std::move(warnings);
            print_line(m_out, JsonLine(object));
            return;
        }
        if (!ok) {
            print_failure(m_err, failure);
            return;
        }
        print_line(m_out, kSuccessText);
        // The row went in although something failed on the way (a duplicate check): say what it met.
        for (const CString& warning : outcome.warnings)
            print_line(m_err, "enlistor: registered, but " + shown(RedactSecrets(warning, m_typed.password.Text())));
    }

    bool Restore(const DatabaseSettingsValue& snapshot, SettingsStoreError& error) override {
        if (SaveDatabaseSettingsValue(snapshot, &error) &&
            (!m_trustStored || SaveConnectionTrust(m_trustSnapshot, &error)))
            return true;
        print_line(m_err, "enlistor: warning: the earlier settings could not all be stored back: " +
                              shown(settings_error_text(error, "store")));
        return false;
    }

    DatabaseSettingsValue Reload() override {
        DatabaseSettingsValue reloaded;
        (void)LoadDatabaseSettingsValue(reloaded);
        return reloaded;
    }

private:
    const CommandLineOptions& m_options;
    std::optional<SecretText> m_password;
    std::FILE* m_out;
    std::FILE* m_err;
    DatabaseSettingsValue m_snapshot;
    DatabaseSettingsValue m_typed;
    ConnectionTrustSettings m_trustSnapshot;
    bool m_trustStored = false;
};

// Reads the password the options name, if any. False after printing the usage error.
bool read_password_option(const CommandLineOptions& options, std::optional<SecretText>& password, const char* command,
                          std::FILE* out, std::FILE* err) {
    if (!options.passwordFile)
        return true;
    SecretText text;
    CString reason;
    CString warning;
    const bool read = ReadPassword(*options.passwordFile, text, reason, &warning);
    if (!warning.empty())
        print_line(err, "enlistor: warning: " + shown(warning));
    if (!read) {
        if (options.json) {
            json object = {{"command", command}, {"outcome", "usage"},  {"exit_code", kExitUsage},
                           {"address", ""},      {"computer_name", ""}, {"error", "enlistor: " + reason},
                           {"cause", reason},    {"hresult", nullptr}};
            print_line(out, JsonLine(object));
        } else {
            print_line(err, "enlistor: " + shown(reason));
        }
        return false;
    }
    password = std::move(text);
    return true;
}

} // namespace

int RunRegister(const CommandLineOptions& options, std::FILE* out, std::FILE* err) {
    std::optional<SecretText> password;
    if (!read_password_option(options, password, "register", out, err))
        return kExitUsage;
    CommandLineFace face(options, std::move(password), out, err);
    WorkflowOptions workflow;
    workflow.address = options.address;
    return RunRegisterWorkflow(face, workflow).exitCode;
}

int RunCheck(const CommandLineOptions& options, std::FILE* out, std::FILE* err) {
    std::optional<SecretText> password;
    if (!read_password_option(options, password, "check", out, err))
        return kExitUsage;

    // Shared: no register of this machine is half-way through storing its settings while they are read here.
    CString lockError;
    std::optional<MachineLock> lock = MachineLock::Acquire(MachineLock::Mode::Shared, kMachineLockWait, lockError);
    const bool lockRefused = !lock && !MachineLock::LastFailureWasAccess();

    DatabaseSettingsValue stored;
    SettingsStoreError storeError;
    ConnectionTrustSettings storedTrust;
    const bool loaded =
        !lockRefused && LoadDatabaseSettingsValue(stored, &storeError) && LoadConnectionTrust(storedTrust, &storeError);
    const DatabaseSettingsValue settings = with_options(stored, options, password);
    const ConnectionTrustSettings trust = with_trust_options(storedTrust, options, settings.server);
    lock.reset();

    RegistrationOutcome outcome;
    int exitCode = kExitOk;
    CString failure;
    if (lockRefused) {
        failure = lockError;
        exitCode = kExitFailure;
    } else if (!loaded) {
        failure = settings_error_text(storeError, "read");
        exitCode = kExitNotAllowed;
    } else if (settings.server.empty()) {
        failure = kNoServerText;
        exitCode = kExitUsage;
    } else {
        // Everything the registration does up to the insert, and not the insert: connect, both checks.
        RegistrationOptions checkOnly;
        checkOnly.insertWhenNew = false;
        checkOnly.address = options.address;
        checkOnly.settings = std::make_shared<const DatabaseSettingsValue>(settings.Copy());
        checkOnly.trust = std::make_shared<const ConnectionTrustSettings>(trust);
        outcome = RegisterMachineDetailed(checkOnly);
        exitCode = ExitCodeForRegistration(outcome);
    }
    FillIdentity(outcome, options.address);
    const bool ok = exitCode == kExitOk;
    const failure_report report = describe_failure(outcome, failure, settings);
    const CString provider = GetProviderName();
    const CString mapped = RedactSecrets(outcome.connectionTarget, settings.password.Text());
    const bool wouldChange = !(settings == stored) || !(trust == storedTrust);

    if (!options.json) {
        warn_unprotected(err, outcome.tls);
        print_field(out, "Database Server Name:", settings.server);
        print_field(out, "Database Server IP:", settings.serverIP);
        print_field(out, "Database Name:", settings.database);
        print_field(out, "Database Login:", settings.login);
        print_field(out, "Database Password:", settings.password.empty() ? "(empty)" : kPasswordMask);
        print_field(out, "Provider:", provider);
        print_field(out, "ODBC driver:", outcome.driverName.empty() ? CString("(none)") : outcome.driverName);
        print_field(out, "ODBC connection:", mapped.empty() ? CString("(none)") : mapped);
        print_field(out, "Address:", outcome.address.empty() ? CString("(none found)") : outcome.address);
        print_field(out, "Computer name:", outcome.computerName);
        print_field(out, "Connected:", outcome.connected ? "yes" : "no");
        if (outcome.connected || outcome.tls.overNetwork)
            print_field(out, "TLS:", tls_line(outcome.tls));
        if (wouldChange)
            print_field(out, "Settings:", "register would store the values given here");
        if (ok && outcome.alreadyKnown)
            print_field(out, "Result:", "already registered");
        else if (ok)
            print_field(out, "Result:",
                        FormatString("not registered; register would insert ServerName='%s', ServerIP='%s', "
                                     "ServerType='%s' into tblRegisteredServers",
                                     outcome.computerName.c_str(), outcome.address.c_str(), kServerType));
        else
            print_failure(err, report);
        return exitCode;
    }

    const char* word = !ok ? "failed" : outcome.alreadyKnown ? "already-registered" : "not-registered";
    json object = result_object("check", word, exitCode, outcome, report);
    object["settings"] = {{"database_server", settings.server},
                          {"database_server_ip", settings.serverIP},
                          {"database_name", settings.database},
                          {"database_login", settings.login},
                          {"database_password", masked(settings.password)}};
    object["settings_would_change"] = wouldChange;
    object["provider"] = provider;
    object["odbc_driver"] = outcome.driverName;
    object["odbc_connection"] = mapped;
    object["connected"] = outcome.connected;
    if (ok && !outcome.alreadyKnown)
        object["would_insert"] = {
            {"ServerName", outcome.computerName}, {"ServerIP", outcome.address}, {"ServerType", kServerType}};
    else
        object["would_insert"] = nullptr;
    print_line(out, JsonLine(object));
    return exitCode;
}

int RunUnregister(const CommandLineOptions& options, std::FILE* out, std::FILE* err) {
    std::optional<SecretText> password;
    if (!read_password_option(options, password, "unregister", out, err))
        return kExitUsage;
    const auto settingsFor = [&](DatabaseSettingsValue& settings) -> std::optional<WorkflowStop> {
        DatabaseSettingsValue stored;
        SettingsStoreError error;
        if (!LoadDatabaseSettingsValue(stored, &error))
            return WorkflowStop{settings_error_text(error, "read"), kExitNotAllowed, false};
        settings = with_options(stored, options, password);
        if (settings.server.empty())
            return WorkflowStop{kNoServerText, kExitUsage, false};
        return std::nullopt;
    };
    WorkflowOptions workflow;
    workflow.address = options.address;
    if (trust_given(options)) {
        // The server is the stored one unless --server names another: the opt-out goes with the server it names.
        DatabaseSettingsValue stored;
        ConnectionTrustSettings storedTrust;
        (void)LoadDatabaseSettingsValue(stored);
        (void)LoadConnectionTrust(storedTrust);
        workflow.trust = std::make_shared<const ConnectionTrustSettings>(
            with_trust_options(storedTrust, options, options.server.value_or(stored.server)));
    }
    const WorkflowResult result = RunUnregisterWorkflow(settingsFor, workflow);
    const RegistrationOutcome& outcome = result.registration;
    const bool ok = result.exitCode == kExitOk;
    const failure_report failure = describe_failure(outcome, result.failure, result.used);
    warn_unprotected(err, outcome.tls);
    if (options.json) {
        json object = result_object("unregister", UnregisterOutcomeWord(result), result.exitCode, outcome, failure);
        object["rows_removed"] = outcome.rowsRemoved;
        print_line(out, JsonLine(object));
    } else if (!ok) {
        print_failure(err, failure);
    } else if (outcome.rowsRemoved > 0) {
        print_line(out, FormatString("Removed %ld row%s for %s (%s) from tblRegisteredServers", outcome.rowsRemoved,
                                     outcome.rowsRemoved == 1 ? "" : "s", shown(outcome.address).c_str(),
                                     shown(outcome.computerName).c_str()));
    } else {
        print_line(out, FormatString("Not registered: no row for %s (%s) in tblRegisteredServers",
                                     shown(outcome.address).c_str(), shown(outcome.computerName).c_str()));
    }
    return result.exitCode;
}

#include "cli/Commands.h"

#include "cli/Json.h"
#include "cli/Secret.h"
#include "common/FormatString.h"
#include "common/PlainText.h"
#include "registration/Registration.h"
#include "res/DialogTemplate.h"
#include "res/Resource.h"
#include "workflow/ExitCodes.h"
#include "workflow/RegisterWorkflow.h"

#include <sstream>

namespace {

constexpr char kNoServerText[] = "no database server is set: give --server or store one with the dialog";

void print_line(std::FILE* stream, const CString& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void print_field(std::FILE* stream, std::string_view label, const CString& value) {
    print_line(stream, FormatString("%-22s %s", (CString(label) + ":").c_str(), PlainText(value).c_str()));
}

// "enlistor: <cause>" and below it, indented, the error's source, HRESULT and the driver's own text.
void print_failure(std::FILE* err, const RunReport& report) {
    print_line(err, "enlistor: " + PlainText(report.causeText));
    if (!report.hresult)
        return;
    CString detail = FormatString("%s%sError %ld%s%s", report.errorSource.c_str(),
                                  report.errorSource.empty() ? "" : " ", static_cast<long>(*report.hresult),
                                  report.driverMessage.empty() ? "" : ": ", report.driverMessage.c_str());
    std::istringstream lines(PlainText(detail));
    for (std::string line; std::getline(lines, line);)
        print_line(err, "    " + line);
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

void print_check(std::FILE* out, const RunReport& report) {
    const DatabaseSettingsValue& settings = report.used;
    print_field(out, FieldLabel(IDC_DATABASE_SERVER), settings.server);
    print_field(out, FieldLabel(IDC_DB_SERVER_IP), settings.serverIP);
    print_field(out, FieldLabel(IDC_DATABASE_NAME), settings.database);
    print_field(out, FieldLabel(IDC_DB_USER_ID), settings.login);
    print_field(out, FieldLabel(IDC_DB_USER_PASSWORD), settings.password.empty() ? "(empty)" : kPasswordMask);
    print_field(out, "Provider", GetProviderName());
    print_field(out, "ODBC driver", report.driverName.empty() ? CString("(none)") : report.driverName);
    print_field(out, "ODBC connection", report.connectionTarget.empty() ? CString("(none)") : report.connectionTarget);
    print_field(out, "Address", report.address.empty() ? CString("(none found)") : report.address);
    print_field(out, "Computer name", report.computerName);
    print_field(out, "Connected", report.connected ? "yes" : "no");
    if (report.connected || report.tls.overNetwork)
        print_field(out, "TLS", tls_line(report.tls));
    if (report.settingsChanged)
        print_field(out, "Settings", "register would store the values given here");
    if (report.outcome == RunOutcome::AlreadyRegistered)
        print_field(out, "Result", "already registered");
    else if (report.outcome == RunOutcome::NotRegistered)
        print_field(out, "Result",
                    FormatString("not registered; register would insert ServerName='%s', ServerIP='%s', "
                                 "ServerType='%s' into tblRegisteredServers",
                                 report.computerName.c_str(), report.address.c_str(), kServerType));
}

void print_text(std::FILE* out, std::FILE* err, const RunReport& report) {
    if (report.command == WorkflowCommand::Check)
        print_check(out, report);
    for (const CString& warning : report.warnings)
        print_line(err, "enlistor: warning: " + PlainText(warning));
    for (const CString& warning : report.registrationWarnings)
        print_line(err, "enlistor: registered, but " + PlainText(warning));
    const CString who =
        FormatString("%s (%s)", PlainText(report.address).c_str(), PlainText(report.computerName).c_str());
    switch (report.outcome) {
    case RunOutcome::Failed:
        print_failure(err, report);
        break;
    case RunOutcome::Registered:
        print_line(out, kRegisteredText);
        break;
    case RunOutcome::AlreadyRegistered:
        if (report.command == WorkflowCommand::Register)
            print_line(
                out, FormatString("%s: %s is already registered, nothing was inserted", kRegisteredText, who.c_str()));
        break;
    case RunOutcome::Unregistered:
        print_line(out, FormatString("Removed %ld row%s for %s from tblRegisteredServers", report.rowsRemoved,
                                     report.rowsRemoved == 1 ? "" : "s", who.c_str()));
        break;
    case RunOutcome::NotRegistered:
        if (report.command == WorkflowCommand::Unregister)
            print_line(out, "Not registered: no row for " + who + " in tblRegisteredServers");
        break;
    }
}

// The settings the command works with: the stored ones, with each value the command line gives in their place.
class CommandLineFace final : public IRunFace {
public:
    CommandLineFace(const CommandLineOptions& options, std::optional<SecretText> password)
        : m_options(options), m_password(std::move(password)) {}

    std::optional<WorkflowStop> TypedSettings(WorkflowCommand command, const DatabaseSettingsValue& stored,
                                              DatabaseSettingsValue& typed) override {
        typed.server = m_options.server.value_or(stored.server);
        typed.serverIP = m_options.serverIP.value_or(stored.serverIP);
        typed.database = m_options.database.value_or(stored.database);
        typed.login = m_options.login.value_or(stored.login);
        typed.password = m_password ? m_password->Copy() : stored.password.Copy();
        if (typed.server.empty())
            return WorkflowStop{kNoServerText, kExitUsage, false};
        SettingsStoreError error;
        if (command == WorkflowCommand::Register && !SaveDatabaseSettingsValue(typed, &error))
            return WorkflowStop{SettingsErrorText(error, "store"), kExitNotAllowed, true};
        return std::nullopt;
    }

    // Printed here, inside the run: a held-back signal ends the process once the run returns.
    void Finish(const RunReport& report) override {
        if (!m_options.json) {
            print_text(stdout, stderr, report);
            return;
        }
        print_line(stdout, JsonLine(ReportObject(report)));
    }

private:
    const CommandLineOptions& m_options;
    std::optional<SecretText> m_password;
};

} // namespace

void PrintRefusal(const char* command, const CString& reason, bool asJson, const char* hint) {
    const CString line = "enlistor: " + reason + hint;
    if (asJson)
        print_line(stdout, JsonLine(UsageObject(command, line, reason)));
    else
        print_line(stderr, PlainText(line));
}

int RunCommand(WorkflowCommand command, const CommandLineOptions& options) {
    WorkflowOptions workflow;
    workflow.address = options.address;
    workflow.trust = TrustOverrides{options.caFile, options.trustCert, options.insecureLogin};
    std::optional<SecretText> password;
    if (options.passwordFile) {
        SecretText text;
        CString reason;
        CString warning;
        if (!ReadPassword(*options.passwordFile, text, reason, &warning)) {
            PrintRefusal(CommandName(command), reason, options.json);
            return kExitUsage;
        }
        if (!warning.empty())
            workflow.warnings.push_back(warning);
        password = std::move(text);
    }
    CommandLineFace face(options, std::move(password));
    return RunWorkflow(command, face, workflow).exitCode;
}

#include "cli/Commands.h"

#include "cli/Json.h"
#include "cli/Secret.h"
#include "common/FormatString.h"
#include "common/PlainText.h"
#include "registration/Registration.h"
#include "workflow/ExitCodes.h"
#include "workflow/RegisterWorkflow.h"

namespace {

using json = nlohmann::ordered_json;

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

// The members every command's JSON object starts with (the schema in docs/enlistor-output.schema.json).
json head_object(const char* command, const char* outcome, int exitCode, const CString& error, const CString& cause) {
    return {{"format", kJsonFormat},
            {"command", command != nullptr ? json(command) : json(nullptr)},
            {"outcome", outcome},
            {"exit_code", exitCode},
            {"address", ""},
            {"computer_name", ""},
            {"error", error},
            {"cause", cause},
            {"driver_message", ""},
            {"hresult", nullptr},
            {"warnings", json::array()}};
}

json report_object(const RunReport& report) {
    const bool failed = report.outcome == RunOutcome::Failed;
    json object = head_object(CommandName(report.command), OutcomeWord(report.outcome), report.exitCode,
                              failed ? report.dialogText : CString(), failed ? report.causeText : CString());
    object["address"] = report.address;
    object["computer_name"] = report.computerName;
    object["driver_message"] = report.driverMessage;
    object["hresult"] = report.hresult ? json(static_cast<long>(*report.hresult)) : json(nullptr);
    object["warnings"] = report.warnings;
    return object;
}

// "enlistor: <cause>" and below it, indented, the error's source, HRESULT and the driver's own text.
void print_failure(std::FILE* err, const RunReport& report) {
    print_line(err, "enlistor: " + shown(report.causeText));
    if (!report.hresult)
        return;
    CString detail = FormatString("%s%sError %ld%s%s", report.errorSource.c_str(),
                                  report.errorSource.empty() ? "" : " ", static_cast<long>(*report.hresult),
                                  report.driverMessage.empty() ? "" : ": ", report.driverMessage.c_str());
    detail = shown(detail);
    while (!detail.empty() && detail.back() == '\n')
        detail.pop_back();
    for (std::size_t start = 0; start < detail.size();) {
        const std::size_t end = std::min(detail.find('\n', start), detail.size());
        print_line(err, "    " + detail.substr(start, end - start));
        start = end + 1;
    }
}

void print_check(std::FILE* out, const RunReport& report) {
    const DatabaseSettingsValue& settings = report.used;
    print_field(out, "Database Server Name:", settings.server);
    print_field(out, "Database Server IP:", settings.serverIP);
    print_field(out, "Database Name:", settings.database);
    print_field(out, "Database Login:", settings.login);
    print_field(out, "Database Password:", settings.password.empty() ? "(empty)" : kPasswordMask);
    print_field(out, "Provider:", GetProviderName());
    print_field(out, "ODBC driver:", report.driverName.empty() ? CString("(none)") : report.driverName);
    print_field(out, "ODBC connection:", report.connectionTarget.empty() ? CString("(none)") : report.connectionTarget);
    print_field(out, "Address:", report.address.empty() ? CString("(none found)") : report.address);
    print_field(out, "Computer name:", report.computerName);
    print_field(out, "Connected:", report.connected ? "yes" : "no");
    if (report.settingsChanged)
        print_field(out, "Settings:", "register would store the values given here");
    if (report.outcome == RunOutcome::AlreadyRegistered)
        print_field(out, "Result:", "already registered");
    else if (report.outcome == RunOutcome::NotRegistered)
        print_field(out, "Result:",
                    FormatString("not registered; register would insert ServerName='%s', ServerIP='%s', "
                                 "ServerType='%s' into tblRegisteredServers",
                                 report.computerName.c_str(), report.address.c_str(), kServerType));
}

void add_check_members(json& object, const RunReport& report) {
    const DatabaseSettingsValue& settings = report.used;
    object["settings"] = {{"database_server", settings.server},
                          {"database_server_ip", settings.serverIP},
                          {"database_name", settings.database},
                          {"database_login", settings.login},
                          {"database_password", settings.password.empty() ? "" : kPasswordMask}};
    object["settings_would_change"] = report.settingsChanged;
    object["provider"] = GetProviderName();
    object["odbc_driver"] = report.driverName;
    object["odbc_connection"] = report.connectionTarget;
    object["connected"] = report.connected;
    object["would_insert"] = nullptr;
    if (report.outcome == RunOutcome::NotRegistered)
        object["would_insert"] = {
            {"ServerName", report.computerName}, {"ServerIP", report.address}, {"ServerType", kServerType}};
}

void print_text(std::FILE* out, std::FILE* err, const RunReport& report) {
    if (report.command == WorkflowCommand::Check)
        print_check(out, report);
    for (const CString& warning : report.warnings)
        print_line(err, "enlistor: warning: " + shown(warning));
    const CString who = FormatString("%s (%s)", shown(report.address).c_str(), shown(report.computerName).c_str());
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
        json object = report_object(report);
        if (report.command == WorkflowCommand::Register) {
            object["row_inserted"] = report.rowInserted;
            object["settings_changed"] = report.settingsChanged;
        } else if (report.command == WorkflowCommand::Unregister) {
            object["rows_removed"] = report.rowsRemoved;
        } else {
            add_check_members(object, report);
        }
        print_line(stdout, JsonLine(object));
    }

private:
    const CommandLineOptions& m_options;
    std::optional<SecretText> m_password;
};

} // namespace

void PrintRefusal(const char* command, const CString& reason, bool asJson, const char* hint) {
    const CString line = "enlistor: " + reason + hint;
    if (asJson)
        print_line(stdout, JsonLine(head_object(command, "usage", kExitUsage, line, reason)));
    else
        print_line(stderr, shown(line));
}

int RunCommand(WorkflowCommand command, const CommandLineOptions& options) {
    WorkflowOptions workflow;
    workflow.address = options.address;
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

#include "cli/Json.h"

#include "registration/Registration.h"
#include "workflow/ExitCodes.h"

namespace {

using json = nlohmann::ordered_json;

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

json all_warnings(const RunReport& report) {
    json list = report.warnings;
    for (const CString& warning : report.registrationWarnings)
        list.push_back(warning);
    return list;
}

// How the login was (or would have been) protected; null when nothing crossed the network.
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

json report_object(const RunReport& report) {
    const bool failed = report.outcome == RunOutcome::Failed;
    json object = head_object(CommandName(report.command), OutcomeWord(report.outcome), report.exitCode,
                              failed ? report.dialogText : CString(), failed ? report.causeText : CString());
    object.update({{"address", report.address},
                   {"computer_name", report.computerName},
                   {"driver_message", report.driverMessage},
                   {"hresult", report.hresult ? json(static_cast<long>(*report.hresult)) : json(nullptr)},
                   {"warnings", all_warnings(report)},
                   {"tls", tls_object(report.tls)}});
    return object;
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

template <typename Json>
CString dump_line(const Json& value) {
    // No indentation: one line. ensure_ascii: \u escapes for everything outside printable ASCII.
    return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

} // namespace

CString JsonLine(const nlohmann::ordered_json& value) {
    return dump_line(value);
}

CString JsonLine(const nlohmann::json& value) {
    return dump_line(value);
}

nlohmann::ordered_json ReportObject(const RunReport& report) {
    json object = report_object(report);
    if (report.command == WorkflowCommand::Register) {
        object["row_inserted"] = report.rowInserted;
        object["settings_changed"] = report.settingsChanged;
    } else if (report.command == WorkflowCommand::Unregister) {
        object["rows_removed"] = report.rowsRemoved;
    } else {
        add_check_members(object, report);
    }
    return object;
}

nlohmann::ordered_json UsageObject(const char* command, const CString& error, const CString& cause) {
    return head_object(command, "usage", kExitUsage, error, cause);
}

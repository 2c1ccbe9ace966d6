#include "platform/log/AuditLog.h"

#include "common/PlainText.h"

#include <cstddef>
#include <string_view>
#include <syslog.h>

namespace {

// A value longer than this is cut: the classic syslog transport keeps about 1 KiB per record, and five such values
// plus the names still fit in it.
constexpr std::size_t kMaxValueBytes = 256;

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

void append_bare(CString& line, const char* name, const CString& value) {
    line += name;
    line += '=';
    for (unsigned char c : value)
        line += (is_control(c) || c == ' ' || c == '"' || c == '=') ? '?' : static_cast<char>(c);
}

// Each character of the value as it is, or '?' for what is no printable character: a C0 or C1 control, DEL, or a
// byte that starts no valid UTF-8 sequence. A value past kMaxValueBytes is cut before the character that crosses the
// limit, never inside it.
void append_quoted(CString& line, const char* name, const CString& value) {
    line += ' ';
    line += name;
    line += "=\"";
    std::size_t at = 0;
    while (at < value.size()) {
        const Utf8Char next = DecodeUtf8(std::string_view(value).substr(at));
        if (at + next.length > kMaxValueBytes)
            break;
        const bool c1 = next.codePoint >= 0x80 && next.codePoint <= 0x9f;
        if (!next.valid || c1 || (next.length == 1 && is_control(static_cast<unsigned char>(value[at])))) {
            line += '?';
        } else {
            if (value[at] == '"' || value[at] == '\\')
                line += '\\';
            line.append(value, at, next.length);
        }
        at += next.length;
    }
    if (at < value.size())
        line += "...";
    line += '"';
}

} // namespace

CString FormatAuditLine(const AuditRecord& record) {
    CString line;
    line.reserve(160);
    append_bare(line, "command", record.command);
    line += ' ';
    append_bare(line, "outcome", record.outcome);
    line += " exit_code=" + std::to_string(record.exitCode);
    append_quoted(line, "address", record.address);
    append_quoted(line, "computer_name", record.computerName);
    append_quoted(line, "database_server", record.databaseServer);
    append_quoted(line, "database_name", record.databaseName);
    append_quoted(line, "login", record.login);
    if (!record.warning.empty())
        append_quoted(line, "warning", record.warning);
    if (!record.tls.empty()) {
        line += ' ';
        append_bare(line, "tls", record.tls);
    }
    if (!record.tlsWarning.empty())
        append_quoted(line, "tls_warning", record.tlsWarning);
    return line;
}

void WriteAuditRecord(const AuditRecord& record) noexcept {
    try {
        const CString line = FormatAuditLine(record);
        const int priority = record.exitCode == 0 ? LOG_NOTICE : LOG_WARNING;
        // No LOG_CONS: without a log socket the line is lost rather than written to the console. LOG_NDELAY opens
        // the socket now so that the line below is the only thing sent on it.
        ::openlog("enlistor", LOG_PID | LOG_NDELAY, LOG_AUTHPRIV);
        ::syslog(LOG_AUTHPRIV | priority, "%s", line.c_str());
        ::closelog();
    } catch (...) {
        // Out of memory while formatting: the audit line is lost, the command's own outcome stands.
    }
}

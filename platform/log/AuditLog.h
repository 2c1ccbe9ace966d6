// The audit trail: one line in the system log for every register and unregister, from the dialog or the command
// line. journald picks it up where it runs; elsewhere the syslog daemon files it with the other authorisation
// records (facility authpriv, readable by root only on Debian).
#pragma once

#include "common/Text.h"

// What one register or unregister did. There is deliberately no field for the password: nothing that holds it can
// reach the log line.
struct AuditRecord {
    CString command;        // "register" or "unregister"
    CString outcome;        // the outcome word the command line reports, e.g. "registered", "not-registered", "failed"
    CString address;        // the address registered or looked for ("" when none was found)
    CString computerName;   // this machine's computer name
    CString databaseServer; // Database Server Name (an ODBC data source or a host)
    CString databaseName;   // Database Name
    CString login;          // Database Login
    int exitCode = 0;       // the command's exit status; 0 is a success
    CString warning;        // what failed although the command succeeded (a duplicate check); "" when nothing did
    CString tls;            // how the login was protected on the wire (a word of the program's); empty: not known
    CString tlsWarning;     // why the login was not protected although it was sent; empty when it was
};

// The line WriteAuditRecord sends, without syslog's own header:
//   command=register outcome=registered exit_code=0 address="198.18.0.2" computer_name="web1"
//   database_server="suite" database_name="Suite" login="sa" tls=verified-ca
// followed by warning="..." when the record has one; tls only when known, and tls_warning="..." after it when the
// login was sent unprotected.
// The words command and outcome come from the program and are written bare; the other texts came from outside (the
// operator, the network, the host name) and are quoted, with '"' and '\' escaped by '\', every control character
// (C0, DEL and C1) and every byte that is not part of valid UTF-8 replaced by '?', and anything past 256 bytes cut
// on a character boundary and marked by "...", so no value can start a new line, forge a field, reach a terminal
// as a command or crowd the others out of the record.
[[nodiscard]] CString FormatAuditLine(const AuditRecord& record);

// Writes FormatAuditLine(record) through syslog(3) with ident "enlistor", the process id, and facility LOG_AUTHPRIV;
// priority LOG_NOTICE when exitCode is 0, LOG_WARNING otherwise. The connection to the log is opened and closed
// around the one line, so the program keeps no descriptor to it. Never fails: a machine without a log socket
// (no /dev/log) simply loses the line, as syslog(3) does, and nothing is written to the console instead.
void WriteAuditRecord(const AuditRecord& record) noexcept;

// Runs a program with a system log of its own and hands back what it logged (target enlistor_syslog_capture).
//
//   RunWithSyslogCapture  runs argv through tests/log/capture-syslog.py: a private mount namespace whose /dev is a
//                         tmpfs with the few nodes a program needs and a datagram socket at /dev/log. The machine's
//                         own log sees nothing, and machines without /dev/log work the same. Needs root (or
//                         unprivileged user namespaces); `available` is false when the namespace could not be made.
//   ParseSyslogDatagram   one datagram as syslog(3) sends it: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE".
//   ParseAuditFields      the fields of an audit line (platform/log/AuditLog.h), quoted values unescaped.
#pragma once

#include "tests/support/TestSupport.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace enlistor::test {

struct SyslogMessage {
    int facility = -1; // e.g. LOG_AUTHPRIV >> 3 == 10
    int severity = -1; // e.g. LOG_NOTICE == 5
    std::string ident;
    int pid = 0; // 0 when the header has no [PID]
    std::string message;
    std::string raw;
};

struct SyslogCapture {
    bool available = false; // false: no mount namespace (process.errors says why); nothing ran
    ProcessResult process;
    std::vector<std::string> datagrams; // as received, in order
};

// options.unprivileged is not supported (the namespace needs root); environment, input and the working directory
// are passed on.
SyslogCapture RunWithSyslogCapture(const std::vector<std::string>& argv, const ProcessOptions& options = {});

std::optional<SyslogMessage> ParseSyslogDatagram(const std::string& datagram);

// "command=register outcome=failed exit_code=4 address=\"10.0.0.1\" ..." -> {command: register, ...}. Returns
// nullopt when the line is not a sequence of name=value fields (a stray quote, an unknown escape, a duplicate name).
std::optional<std::map<std::string, std::string>> ParseAuditFields(const std::string& line);

} // namespace enlistor::test

// The audit record as the system log receives it: the real syslog(3) path into a /dev/log socket of the test's own,
// in a private mount namespace.
#include "tests/log/SyslogCapture.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <syslog.h>

using namespace enlistor::test;

namespace {

constexpr char kProbe[] = AUDIT_LOG_PROBE;
constexpr char kPassword[] = "Audit-pw-8128";

SyslogCapture run_probe(const std::vector<std::string>& fields, const std::string& prefix = {}) {
    std::vector<std::string> argv;
    if (!prefix.empty())
        argv = {"sh", "-c", prefix + "; exec \"$0\" \"$@\"", kProbe};
    else
        argv = {kProbe};
    argv.insert(argv.end(), fields.begin(), fields.end());
    ProcessOptions options;
    options.input = kPassword;
    return RunWithSyslogCapture(argv, options);
}

struct Case {
    const char* name;
    std::vector<std::string> fields;
    int severity;
};

void PrintTo(const Case& row, std::ostream* out) {
    *out << row.name;
}

class AuditLogCaptureTest : public testing::TestWithParam<Case> {};

// One datagram per record: facility authpriv, notice for success and warning for failure, ident "enlistor" with
// the writer's pid, every field, and not the password the process holds.
TEST_P(AuditLogCaptureTest, OneLineWithEveryField) {
    const SyslogCapture capture = run_probe(GetParam().fields);
    if (!capture.available)
        GTEST_SKIP() << capture.process.errors;
    ASSERT_EQ(capture.process.exitCode, 0) << capture.process.errors;
    ASSERT_EQ(capture.datagrams.size(), 1u);
    EXPECT_EQ(capture.datagrams[0].find(kPassword), std::string::npos);

    const auto message = ParseSyslogDatagram(capture.datagrams[0]);
    ASSERT_TRUE(message) << capture.datagrams[0];
    EXPECT_EQ(message->facility, LOG_AUTHPRIV >> 3);
    EXPECT_EQ(message->severity, GetParam().severity);
    EXPECT_EQ(message->ident, "enlistor");
    EXPECT_EQ(std::to_string(message->pid) + "\n", capture.process.output);

    const auto fields = ParseAuditFields(message->message);
    ASSERT_TRUE(fields) << message->message;
    const std::vector<std::string>& given = GetParam().fields;
    EXPECT_EQ(*fields, (std::map<std::string, std::string>{{"command", given[0]},
                                                           {"outcome", given[1]},
                                                           {"exit_code", given[2]},
                                                           {"address", given[3]},
                                                           {"computer_name", given[4]},
                                                           {"database_server", given[5]},
                                                           {"database_name", given[6]},
                                                           {"login", given[7]}}));
}

INSTANTIATE_TEST_SUITE_P(
    Records, AuditLogCaptureTest,
    testing::Values(Case{"RegisterSucceeded",
                         {"register", "registered", "0", "198.18.0.2", "web1", "suite", "Suite", "sa"},
                         LOG_NOTICE},
                    Case{"UnregisterNotRegistered",
                         {"unregister", "not-registered", "0", "fe80::1", "web1", "db.example", "Suite", "sa"},
                         LOG_NOTICE},
                    Case{"LoginRefused",
                         {"register", "failed", "4", "10.1.2.3", "web1", "suite", "Suite", "operator"},
                         LOG_WARNING},
                    Case{"Unreachable", {"unregister", "failed", "3", "", "web1", "suite", "", ""}, LOG_WARNING}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A computer name with a line break cannot make a second record.
TEST(AuditLogCaptureHostileTest, LineBreakMakesNoSecondRecord) {
    const SyslogCapture capture = run_probe(
        {"register", "registered", "0", "10.0.0.1", "web1\n<81>Jan  1 00:00:00 sshd[1]: forged", "s", "d", "l"});
    if (!capture.available)
        GTEST_SKIP() << capture.process.errors;
    ASSERT_EQ(capture.datagrams.size(), 1u);
    EXPECT_EQ(capture.datagrams[0].find("\\n"), std::string::npos) << capture.datagrams[0];
    const auto fields = ParseAuditFields(ParseSyslogDatagram(capture.datagrams[0])->message);
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->at("computer_name"), "web1?<81>Jan  1 00:00:00 sshd[1]: forged");
}

// Without a log socket the record is lost quietly: the command still succeeds and prints nothing on stderr (nothing
// goes to the console either).
TEST(AuditLogCaptureHostileTest, NoLogSocketIsQuiet) {
    const SyslogCapture capture =
        run_probe({"register", "registered", "0", "10.0.0.1", "web1", "s", "d", "l"}, "rm /dev/log");
    if (!capture.available)
        GTEST_SKIP() << capture.process.errors;
    EXPECT_EQ(capture.process.exitCode, 0);
    EXPECT_EQ(capture.process.errors, "");
    EXPECT_TRUE(capture.datagrams.empty());
}

} // namespace

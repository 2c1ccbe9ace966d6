// The audit line's text: every field is there once, and no value from outside can break the line, forge a field or
// crowd the others out.
#include "platform/log/AuditLog.h"
#include "tests/log/SyslogCapture.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

using enlistor::test::ParseAuditFields;

namespace {

AuditRecord plain_record() {
    AuditRecord record;
    record.command = "register";
    record.outcome = "registered";
    record.exitCode = 0;
    record.address = "198.18.0.2";
    record.computerName = "web1";
    record.databaseServer = "suite";
    record.databaseName = "Suite";
    record.login = "sa";
    return record;
}

struct HostileValue {
    const char* name;
    std::string value;    // put into every text field from outside
    std::string expected; // what each field must read back as
};

void PrintTo(const HostileValue& value, std::ostream* out) {
    *out << value.name;
}

class AuditLineValueTest : public testing::TestWithParam<HostileValue> {};

// Each outside value reads back as itself with control characters replaced, the line stays one line, and the
// fields are exactly the eight of the record.
TEST_P(AuditLineValueTest, ReadsBackSafely) {
    AuditRecord record = plain_record();
    record.outcome = "failed";
    record.exitCode = 4;
    record.address = record.computerName = record.databaseServer = record.databaseName = record.login =
        GetParam().value;
    const CString line = FormatAuditLine(record);
    for (unsigned char c : line)
        EXPECT_FALSE(c < 0x20 || c == 0x7f) << "control character " << int(c) << " in " << line;

    const auto fields = ParseAuditFields(line);
    ASSERT_TRUE(fields) << line;
    EXPECT_EQ(fields->size(), 8u) << line;
    EXPECT_EQ(fields->at("command"), "register");
    EXPECT_EQ(fields->at("outcome"), "failed");
    EXPECT_EQ(fields->at("exit_code"), "4");
    for (const char* name : {"address", "computer_name", "database_server", "database_name", "login"})
        EXPECT_EQ(fields->at(name), GetParam().expected) << name << " in " << line;
}

INSTANTIATE_TEST_SUITE_P(
    Values, AuditLineValueTest,
    testing::Values(
        HostileValue{"Empty", "", ""}, HostileValue{"Spaces", "a b  c", "a b  c"},
        HostileValue{"NewLineStartsForgedRecord", "x\n<86>Jan  1 00:00:00 su: root", "x?<86>Jan  1 00:00:00 su: root"},
        HostileValue{"CarriageReturnTabEscDel", std::string("a\rb\tc\x1b[2Jd\x7f"), "a?b?c?[2Jd?"},
        HostileValue{"NulByte", std::string("a\0b", 3), "a?b"},
        HostileValue{"QuoteForgesField", "x\" exit_code=\"0", "x\" exit_code=\"0"},
        HostileValue{"Backslashes", "C:\\dir\\\"", "C:\\dir\\\""},
        HostileValue{"Utf8Kept",
                     "b\xc3\xbc"
                     "ro",
                     "b\xc3\xbc"
                     "ro"},
        HostileValue{"C1ControlsAndInvalidUtf8",
                     "a\xc2\x9b"
                     "b\x9b"
                     "c\xff\xc3"
                     "d",
                     "a?b?c??d"},
        HostileValue{"LongValueCut", std::string(300, 'a'), std::string(256, 'a') + "..."},
        HostileValue{"CutOnACharacterBoundary", std::string(255, 'a') + "\xc3\xbc", std::string(255, 'a') + "..."}),
    [](const testing::TestParamInfo<HostileValue>& info) { return std::string(info.param.name); });

// The layout the log's readers rely on: the fixed words first, in this order.
TEST(AuditLineTest, FieldOrder) {
    EXPECT_EQ(FormatAuditLine(plain_record()),
              "command=register outcome=registered exit_code=0 address=\"198.18.0.2\" computer_name=\"web1\" "
              "database_server=\"suite\" database_name=\"Suite\" login=\"sa\"");
    AuditRecord warned = plain_record();
    warned.warning = "a duplicate check failed";
    EXPECT_EQ(FormatAuditLine(warned), FormatAuditLine(plain_record()) + " warning=\"a duplicate check failed\"");
}

// How the login was protected comes last, when known: the word bare, the warning quoted (it quotes a data source's
// setting).
TEST(AuditLineTest, TlsFieldsFollowTheSettings) {
    AuditRecord record = plain_record();
    record.tls = "unprotected";
    record.tlsWarning = "the data source sets SSLMode=\"disable\"\n: the login is not protected";
    EXPECT_EQ(FormatAuditLine(record),
              "command=register outcome=registered exit_code=0 address=\"198.18.0.2\" computer_name=\"web1\" "
              "database_server=\"suite\" database_name=\"Suite\" login=\"sa\" tls=unprotected "
              "tls_warning=\"the data source sets SSLMode=\\\"disable\\\"?: the login is not protected\"");
}

// The bare words cannot carry a space, quote or '=' into the line either.
TEST(AuditLineTest, BareWordsStayOneToken) {
    AuditRecord record = plain_record();
    record.command = "register x=1";
    record.outcome = "a\"b\n";
    const auto fields = ParseAuditFields(FormatAuditLine(record));
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->size(), 8u);
    EXPECT_EQ(fields->at("command"), "register?x?1");
    EXPECT_EQ(fields->at("outcome"), "a?b?");
}

} // namespace

// The sentences the registration puts before the data objects' errors: each names the cause and the setting to check
// as the dialog labels it, with the settings the connection was made with; a refused setting and a login that was not
// sent become one sentence of their own.
#include "registration/Registration.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

constexpr HRESULT kBadInitString = static_cast<HRESULT>(0x80040E73u);

_com_error from_driver(const char* sqlState, const char* text, DataErrorCause cause) {
    return _com_error(E_FAIL, "ODBC driver x", text, sqlState, 0, cause);
}
_com_error refused(DataSetting setting, const char* facts) {
    return _com_error(kBadInitString, "ADODB.Connection", facts, {}, 0, DataErrorCause::SettingUnusable, setting);
}
_com_error from_probe(DataErrorCause cause, const char* reason) {
    return _com_error(E_FAIL, "ADODB.Connection", reason, {}, 0, cause);
}

struct SentenceRow {
    std::string name;
    _com_error error;        // as the data objects raise it
    std::string server;      // the settings it was connected with (database "suite", login "sa")
    bool connecting;         // the error is Open's: the wire's report comes with it
    bool certificate;        // the report has the certificate the probe saw
    std::string description; // as the registration reports it
    std::string sentence;    // CauseSentence(): empty when the description is the whole sentence, or there is none
};

void PrintTo(const SentenceRow& row, std::ostream* out) {
    *out << row.name;
}

// The sentence goes before the error's own description.
SentenceRow before(const char* name, const _com_error& error, const std::string& sentence, bool connecting = true,
                   const char* server = "db01") {
    return {name, error, server, connecting, false, sentence + " " + *error.Description(), sentence};
}
// The description becomes the whole sentence.
SentenceRow whole(const char* name, const _com_error& error, const std::string& description, bool connecting = true,
                  bool certificate = false) {
    return {name, error, "db01", connecting, certificate, description, ""};
}

class CauseSentence : public testing::TestWithParam<SentenceRow> {};

TEST_P(CauseSentence, NamesTheCauseAndTheSettingToCheck) {
    const SentenceRow& row = GetParam();
    enlistor::ado::TransportReport tls;
    tls.overNetwork = true;
    if (row.certificate) {
        tls.certificateSha256 = "AB:CD";
        tls.subject = "CN=db01";
        tls.issuer = "CN=Suite CA";
        tls.notBefore = "Jan  1 00:00:00 2030 GMT";
        tls.notAfter = "Jan  1 00:00:00 2031 GMT";
    }
    const _com_error described =
        DescribeDataError(row.error, row.server, "suite", "sa", row.connecting ? &tls : nullptr);
    EXPECT_EQ(described.Description().value_or("(none)"), row.description);
    EXPECT_EQ(described.CauseSentence(), row.sentence);
    // The driver's own text stays apart behind a sentence; a whole sentence is the text the report shows.
    EXPECT_EQ(described.DriverText(), row.sentence.empty() ? row.description : *row.error.Description());
    EXPECT_EQ(described.Error(), row.error.Error());
    EXPECT_EQ(described.Source(), row.error.Source());
    EXPECT_EQ(described.SqlState(), row.error.SqlState());
    EXPECT_EQ(described.Cause(), row.error.Cause());
    EXPECT_EQ(described.Setting(), row.error.Setting());
}

constexpr auto kUnreachable = DataErrorCause::ServerUnreachable;

INSTANTIATE_TEST_SUITE_P(
    Causes, CauseSentence,
    testing::Values(
        before("Refused", from_driver("08001", "port 5432 failed: Connection refused", kUnreachable),
               "Cannot reach the database server 'db01': connection refused. Check Database Server Name."),
        before("NoRoute", from_driver("08001", "No route to host", kUnreachable),
               "Cannot reach the database server 'db01': no route to host. Check Database Server Name."),
        before("NetworkUnreachable", from_driver("08001", "Network is unreachable", kUnreachable),
               "Cannot reach the database server 'db01': network unreachable. Check Database Server Name."),
        before("NoServerThere", from_driver("08S01", "Adaptive Server is unavailable or does not exist", kUnreachable),
               "Cannot reach the database server 'db01': no server answers there. Check Database Server Name."),
        // A statement on a connection the server dropped: no report of the wire, the same sentence.
        before("Lost", from_driver("08S01", "Communication link failure", kUnreachable),
               "Cannot reach the database server 'db01': the connection was lost. Check Database Server Name.", false),
        before("Failed", from_driver("08001", "Unable to connect", kUnreachable),
               "Cannot reach the database server 'db01': the connection failed. Check Database Server Name."),
        before("NoServerSet", from_driver("08001", "Unable to connect", kUnreachable),
               "No database server is set. Check Database Server Name.", true, ""),
        before("TimedOut", from_driver("HYT00", "Timeout expired", DataErrorCause::ServerTimedOut),
               "The database server 'db01' did not answer in time. Check Database Server Name and that the server is "
               "running."),
        before("Unknown", from_driver("08001", "Unknown host machine name.", DataErrorCause::ServerUnknown),
               "Cannot find the database server 'db01': the name does not resolve. Check Database Server Name."),
        before("LoginRefused", from_driver("28000", "Login failed for user 'sa'.", DataErrorCause::LoginRefused),
               "The database server 'db01' refused the login 'sa'. Check Database Login and Database Password."),
        before("DatabaseMissing",
               from_driver("08001", "database \"suite\" does not exist", DataErrorCause::DatabaseMissing),
               "The database 'suite' does not exist on 'db01' or cannot be opened. Check Database Name."),
        before("TableMissing", from_driver("42S02", "no such table", DataErrorCause::TableMissing),
               "The database 'suite' lacks a table the registration needs. Check Database Name.", false),
        before("PermissionDenied", from_driver("42501", "permission denied", DataErrorCause::PermissionDenied),
               "The login 'sa' is not allowed to do this in the database 'suite'. Check Database Login and its "
               "permissions.",
               false),
        before("DriverMissing", from_driver("IM002", "Data source name not found", DataErrorCause::DriverMissing),
               "No ODBC driver or data source is installed for the database server 'db01'. Check Database Server "
               "Name and the installed ODBC drivers."),
        whole("Other", from_driver("HY000", "something odd", DataErrorCause::Other), "something odd")),
    [](const testing::TestParamInfo<SentenceRow>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    RefusedSettings, CauseSentence,
    testing::Values(
        whole("Password",
              refused(DataSetting::Password, "contains '}' followed by ';', which the FreeTDS ODBC driver cannot be "
                                             "given safely; nothing was sent to the server."),
              "Database Password contains '}' followed by ';', which the FreeTDS ODBC driver cannot be given safely; "
              "nothing was sent to the server. Check Database Password."),
        whole("ServerNotText",
              refused(DataSetting::Server, "is not valid text in this system's character set (UTF-8); nothing was "
                                           "sent to the database server."),
              "Database Server Name is not valid text in this system's character set (UTF-8); nothing was sent to the "
              "database server. Check Database Server Name."),
        whole("Database", refused(DataSetting::Database, "contains a NUL character."),
              "Database Name contains a NUL character. Check Database Name."),
        whole("Login", refused(DataSetting::Login, "contains a NUL character."),
              "Database Login contains a NUL character. Check Database Login."),
        whole("CaFile",
              refused(DataSetting::CaFile, "contains a character that cannot stand in the FreeTDS configuration; "
                                           "nothing was sent to the server."),
              "The CA file's path contains a character that cannot stand in the FreeTDS configuration; nothing was "
              "sent to the server. Check The CA file's path."),
        // A text that is no setting names itself.
        whole("Statement",
              refused(DataSetting::None, "The statement is not valid text in this system's character set."),
              "The statement is not valid text in this system's character set.", false)),
    [](const testing::TestParamInfo<SentenceRow>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    LoginNotSent, CauseSentence,
    testing::Values(
        whole("ProbeNoTls", from_probe(DataErrorCause::ServerCannotEncrypt, "the server cannot encrypt"),
              "The database server 'db01' cannot encrypt the connection, so the login was not sent. Turn on TLS on "
              "the server, or allow this server's login without it with --insecure-login."),
        whole("ProbeUntrusted", from_probe(DataErrorCause::CertificateUntrusted, "self-signed certificate"),
              "The certificate of the database server 'db01' is not verified (self-signed certificate), so the login "
              "was not sent. If it is the server's certificate, pin it: enlistor register --trust-cert AB:CD (or give "
              "the CA that signed it with --ca-file). Its subject is \"CN=db01\", its issuer \"CN=Suite CA\", valid "
              "from Jan  1 00:00:00 2030 GMT to Jan  1 00:00:00 2031 GMT.",
              true, true),
        whole("ProbeHandshake", from_probe(DataErrorCause::TlsFailed, "wrong version number"),
              "The TLS handshake with the database server 'db01' failed (wrong version number), so the login was not "
              "sent. Check Database Server Name and the server's TLS configuration."),
        whole("ProbeHandshakeAfterTheCertificate", from_probe(DataErrorCause::TlsFailed, "unexpected eof"),
              "The TLS handshake with the database server 'db01' failed (unexpected eof), so the login was not sent. "
              "Check Database Server Name and the server's TLS configuration; its certificate is SHA-256 AB:CD.",
              true, true),
        // The driver's own refusals (with its SQLSTATE): the sentence, then the driver's text.
        whole("DriverNoTls", from_driver("08001", "server does not support SSL", DataErrorCause::ServerCannotEncrypt),
              "The database server 'db01' cannot encrypt the connection, so the login was not sent. Turn on TLS on "
              "the server, or allow this server's login without it with --insecure-login. server does not support "
              "SSL"),
        whole("DriverUntrusted",
              from_driver("08001", "certificate verify failed", DataErrorCause::CertificateUntrusted),
              "The database driver did not verify the certificate of the database server 'db01', so the login was "
              "not sent. Give the CA that signed it with --ca-file, or, if it is the server's certificate (SHA-256 "
              "AB:CD), pin it: enlistor register --trust-cert AB:CD. certificate verify failed",
              true, true),
        whole("DriverUntrustedUnseen",
              from_driver("08001", "root certificate file", DataErrorCause::CertificateUntrusted),
              "The database driver did not verify the certificate of the database server 'db01', so the login was "
              "not sent. Give the CA that signed it with --ca-file, or pin it with --trust-cert. root certificate "
              "file"),
        whole("DriverHandshake", from_driver("08001", "SSL SYSCALL error", DataErrorCause::TlsFailed),
              "The TLS handshake with the database server 'db01' failed, so the login was not sent. Check Database "
              "Server Name and the server's TLS configuration. SSL SYSCALL error",
              true, true),
        // After the login the driver's TLS words name no refusal: the text stands alone.
        whole("DriverTlsTextAfterTheLogin", from_driver("08S01", "SSL SYSCALL error", DataErrorCause::TlsFailed),
              "SSL SYSCALL error", false, true)),
    [](const testing::TestParamInfo<SentenceRow>& info) { return info.param.name; });

// An error without error information (a missing object) has nothing to put a sentence before.
TEST(DescribeDataError, LeavesAnErrorWithoutErrorInformation) {
    const enlistor::ado::TransportReport tls;
    const _com_error described = DescribeDataError(_com_error(E_POINTER), "db01", "suite", "sa", &tls);
    EXPECT_FALSE(described.Description());
    EXPECT_EQ(described.Error(), E_POINTER);
    EXPECT_EQ(GetComErrorText(described), "(null) Error -2147467261(null)Invalid pointer");
}

} // namespace

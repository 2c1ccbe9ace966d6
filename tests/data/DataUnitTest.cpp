// The data objects' own logic, without a database: connection-string parsing and mapping, error translation, the
// browser answer, COM balance, the system-message fallbacks, and calls through missing objects.
#include "platform/data/Ado.h"
#include "platform/data/Com.h"
#include "platform/data/ConnectionString.h"
#include "platform/data/ErrorAdvice.h"
#include "platform/data/Odbc.h"
#include "platform/data/SqlServerBrowser.h"
#include "platform/data/WideText.h"
#include "tests/support/OdbcFaults.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <functional>
#include <string>

namespace {

using enlistor::ado::ConnectionOptions;
using enlistor::ado::MapToOdbc;
using enlistor::ado::OdbcCatalog;

_com_error expect_com_error(const std::function<void()>& call) {
    try {
        call();
    } catch (const _com_error& e) {
        return e;
    }
    ADD_FAILURE() << "no _com_error";
    return _com_error(S_OK);
}

TEST(ConnectionOptionsTest, ParsesTheRegistrationsFormatLiterally) {
    // Keywords are case-insensitive and trimmed; bare values keep every byte up to ';' (blanks, quotes inside).
    ConnectionOptions options =
        ConnectionOptions::Parse("Provider=SQLOLEDB; Server=db\\inst; Database=Suite DB; UID=sa; PWD=it's \"x\" ;");
    EXPECT_EQ(options.GetOr("provider"), "SQLOLEDB");
    EXPECT_EQ(options.GetOr("SERVER"), "db\\inst");
    EXPECT_EQ(options.GetOr("Database"), "Suite DB");
    EXPECT_EQ(options.GetOr("uid"), "sa");
    EXPECT_EQ(options.GetOr("PWD"), "it's \"x\" ");
    EXPECT_FALSE(options.Get("Missing"));
    EXPECT_EQ(ConnectionOptions::Parse("PWD=;").Get("PWD"), CString());
}

TEST(ConnectionOptionsTest, ParsesBothQuotingForms) {
    // {..} with '}' doubled and ".." with '"' doubled carry ';', leading braces and quotes; the last duplicate wins.
    ConnectionOptions options =
        ConnectionOptions::Parse("PWD={a;b}}c} ; UID=\"x;\"\"y\"; Server={ padded }; server=late;");
    EXPECT_EQ(options.GetOr("PWD"), "a;b}c");
    EXPECT_EQ(options.GetOr("UID"), "x;\"y");
    EXPECT_EQ(options.GetOr("Server"), "late");
    EXPECT_EQ(ConnectionOptions::Parse("PWD={{lead}").GetOr("PWD"), "{lead");
}

TEST(ConnectionOptionsTest, RejectsMalformedQuotingWithoutEchoingTheValue) {
    for (const char* text : {"PWD={secret;", "PWD=\"secret", "PWD={secret}x;", "Provider"}) {
        _com_error e = expect_com_error([&] { ConnectionOptions::Parse(text); });
        EXPECT_EQ(e.Error(), static_cast<HRESULT>(0x80040E73u)) << text;
        ASSERT_TRUE(e.Description());
        EXPECT_EQ(e.Description()->find("secret"), CString::npos) << *e.Description();
    }
}

OdbcCatalog catalog(std::vector<OdbcCatalog::Driver> drivers, std::vector<OdbcCatalog::DataSource> sources = {}) {
    return OdbcCatalog{std::move(drivers), std::move(sources)};
}

const OdbcCatalog::Driver kFreeTds{"FreeTDS", "libtdsodbc.so"};
const OdbcCatalog::Driver kSqlite{"SQLite3", "libsqlite3odbc.so"};
const OdbcCatalog::Driver kPostgres{"PostgreSQL Unicode", "psqlodbcw.so"};

enlistor::ado::OdbcTarget map(const std::string& text, const OdbcCatalog& c, bool insecureLogin = false) {
    return MapToOdbc(ConnectionOptions::Parse(text), c, insecureLogin);
}

TEST(MapToOdbcTest, ServerNamingADataSourceConnectsToIt) {
    // A file DSN keeps its own path and must not be created; a server DSN takes the Database; case does not matter.
    OdbcCatalog c = catalog({kSqlite, kPostgres, kFreeTds}, {{"Demo", "SQLite3"}, {"Suite", "PostgreSQL Unicode"}});
    enlistor::ado::OdbcTarget file = map("Provider=SQLOLEDB; Server=demo; Database=ignored; UID=; PWD=;", c);
    EXPECT_EQ(file.connectionString.Text(), "DSN=Demo;NoCreat=1;");
    EXPECT_TRUE(file.fileDatabase);
    EXPECT_EQ(file.driverName, "SQLite3");

    enlistor::ado::OdbcTarget server = map("Provider=SQLNCLI11; Server=Suite; Database=db; UID=u; PWD={p;w};", c);
    EXPECT_EQ(server.connectionString.Text(), "DSN=Suite;UID=u;PWD={p;w};DATABASE=db;");
    EXPECT_EQ(server.displayString, "DSN=Suite;UID=u;PWD=***;DATABASE=db;");
    EXPECT_FALSE(server.fileDatabase);
}

// With the login allowed unprotected (--insecure-login for the server), the host path is FreeTDS's own mapping.
TEST(MapToOdbcTest, FreeTdsGetsPortAndPinnedProtocolForEachServerForm) {
    OdbcCatalog c = catalog({kSqlite, kFreeTds});
    EXPECT_EQ(map("Provider=SQLOLEDB; Server=db.example; Database=Suite; UID=sa; PWD=pw;", c, true).displayString,
              "DRIVER=FreeTDS;SERVER=db.example;PORT=1433;TDS_Version=7.4;DATABASE=Suite;UID=sa;PWD=***;");
    EXPECT_EQ(map("Provider=SQLOLEDB; Server=198.18.0.5,14330; Database=Suite; UID=sa; PWD=pw;", c, true)
                  .connectionString.Text(),
              "DRIVER=FreeTDS;SERVER=198.18.0.5;PORT=14330;TDS_Version=7.4;DATABASE=Suite;UID=sa;PWD=pw;");
    EXPECT_EQ(map("Provider=SQLOLEDB; Server=tcp:db,1500; Database=; UID=sa; PWD=pw;", c, true).displayString,
              "DRIVER=FreeTDS;SERVER=db;PORT=1500;TDS_Version=7.4;UID=sa;PWD=***;");
    enlistor::ado::OdbcTarget instance =
        map("Provider=SQLNCLI; Server=db\\SQLEXPRESS; Database=Suite; UID=sa; PWD=pw;", c, true);
    ASSERT_TRUE(instance.browserHost);
    EXPECT_EQ(*instance.browserHost, "db");
    EXPECT_EQ(instance.browserInstance, "SQLEXPRESS");
    EXPECT_EQ(instance.displayString, "DRIVER=FreeTDS;TDS_Version=7.4;DATABASE=Suite;UID=sa;PWD=***;");
}

TEST(MapToOdbcTest, PrefersTheProvidersOwnDriverThenTheNewestMicrosoftDriver) {
    const OdbcCatalog::Driver ms17{"ODBC Driver 17 for SQL Server", "libmsodbcsql-17.so"};
    const OdbcCatalog::Driver ms18{"ODBC Driver 18 for SQL Server", "libmsodbcsql-18.so"};
    const OdbcCatalog::Driver ncli11{"SQL Server Native Client 11.0", "libsqlncli-11.0.so"};
    const std::string text = "Provider=SQLNCLI11; Server=db\\inst; Database=d; UID=u; PWD=p;";
    EXPECT_EQ(map(text, catalog({kFreeTds, ms17, ms18, ncli11})).driverName, "SQL Server Native Client 11.0");
    EXPECT_EQ(map(text, catalog({kFreeTds, ms17, ms18})).driverName, "ODBC Driver 18 for SQL Server");
    enlistor::ado::OdbcTarget target = map(text, catalog({kFreeTds, ms17}));
    EXPECT_EQ(target.driverName, "ODBC Driver 17 for SQL Server");
    // Microsoft's drivers read host\instance and host,port themselves.
    EXPECT_EQ(target.connectionString.Text(), "DRIVER=ODBC Driver 17 for SQL Server;SERVER=db\\inst;Encrypt=yes;"
                                              "TrustServerCertificate=no;DATABASE=d;UID=u;PWD=p;");
    EXPECT_FALSE(target.browserHost);
}

// Where nothing is configured, the mapping keeps the login off the wire unless it is encrypted and the server
// verified: each row is (what the registration names, the trust, what the driver is given, the freetds.conf text).
struct ProtectedMappingRow {
    const char* name;
    const char* server;
    const char* pinnedFile; // "": no pin
    const char* odbc;       // the ODBC string's display form, the section name replaced by "S"
    const char* conf;       // the generated freetds.conf, the section name replaced by "S"; "" for none
};

void PrintTo(const ProtectedMappingRow& row, std::ostream* out) {
    *out << row.name;
}

class ProtectedMappingTest : public ::testing::TestWithParam<ProtectedMappingRow> {};

TEST_P(ProtectedMappingTest, AddsWhatMakesTheDriverVerifyTheServer) {
    const ProtectedMappingRow& row = GetParam();
    OdbcCatalog::DataSource pg{"Pg", "PostgreSQL Unicode"};
    pg.section = "db.example";
    OdbcCatalog::DataSource pgDisabled{"PgPlain", "PostgreSQL Unicode"};
    pgDisabled.section = "db.example";
    pgDisabled.sslMode = "disable";
    OdbcCatalog::DataSource pgSocket{"PgLocal", "PostgreSQL Unicode"};
    pgSocket.section = "/run/postgresql";
    const OdbcCatalog c = catalog({kFreeTds, kPostgres}, {pg, pgDisabled, pgSocket});
    enlistor::ado::OdbcTarget target =
        map(std::string("Provider=SQLOLEDB; Server=") + row.server + "; Database=Suite; UID=sa; PWD=pw;", c);
    enlistor::ado::TransportTrust trust;
    trust.caFile = "/etc/enlistor/ca.pem";
    if (*row.pinnedFile != '\0')
        trust.pinSha256 = CString(64, 'a');
    const CString conf = enlistor::ado::ProtectLogin(target, trust, row.pinnedFile);
    const auto named = [&](CString text) {
        if (const std::size_t at = text.find(target.wire.section); !target.wire.section.empty() && at != CString::npos)
            text.replace(at, target.wire.section.size(), "S");
        return text;
    };
    EXPECT_EQ(named(target.displayString), row.odbc);
    EXPECT_EQ(named(conf), row.conf);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProtectedMappingTest,
    ::testing::Values(
        ProtectedMappingRow{"FreeTdsHost", "db.example,1500", "",
                            "DRIVER=FreeTDS;SERVERNAME=S;Encryption=require;DATABASE=Suite;UID=sa;PWD=***;",
                            "[S]\n\thost = db.example\n\tport = 1500\n\ttds version = 7.4\n\tencryption = require\n"
                            "\tca file = /etc/enlistor/ca.pem\n\tcheck certificate hostname = yes\n"},
        ProtectedMappingRow{"FreeTdsHostPinned", "db.example", "/run/p/pinned.pem",
                            "DRIVER=FreeTDS;SERVERNAME=S;Encryption=require;DATABASE=Suite;UID=sa;PWD=***;",
                            "[S]\n\thost = db.example\n\tport = 1433\n\ttds version = 7.4\n\tencryption = require\n"
                            "\tca file = /run/p/pinned.pem\n\tcheck certificate hostname = no\n"},
        ProtectedMappingRow{"PostgresWithoutAMode", "Pg", "",
                            "DSN=Pg;UID=sa;PWD=***;DATABASE=Suite;SSLMode=verify-full;"
                            "pqopt=sslrootcert='/etc/enlistor/ca.pem';",
                            ""},
        // psqlODBC reads a bare '+' as a blank: the option is braced.
        ProtectedMappingRow{"PostgresPinned", "Pg", "/run/p/it's+1.pem",
                            "DSN=Pg;UID=sa;PWD=***;DATABASE=Suite;SSLMode=verify-ca;"
                            "pqopt={sslrootcert='/run/p/it\\'s+1.pem'};",
                            ""},
        ProtectedMappingRow{"PostgresOwnModeKept", "PgPlain", "", "DSN=PgPlain;UID=sa;PWD=***;DATABASE=Suite;", ""},
        ProtectedMappingRow{"PostgresUnixSocket", "PgLocal", "", "DSN=PgLocal;UID=sa;PWD=***;DATABASE=Suite;", ""}),
    [](const ::testing::TestParamInfo<ProtectedMappingRow>& info) { return std::string(info.param.name); });

// A host name FreeTDS's configuration could not hold as one value is refused before anything is written or sent.
TEST(MapToOdbcTest, HostThatWouldBreakTheGeneratedSectionIsRefused) {
    for (const char* server : {"db\nca file = /tmp/x", "db;x", "db#x"}) {
        _com_error e = expect_com_error([&] {
            map(std::string("Provider=SQLOLEDB; Server={") + server + "}; Database=d; UID=u; PWD=pw;",
                catalog({kFreeTds}));
        });
        EXPECT_EQ(e.Cause(), DataErrorCause::SettingUnusable) << server;
        EXPECT_EQ(e.Setting(), DataSetting::Server) << server;
        EXPECT_EQ(e.Description().value_or(""), "contains a character that cannot stand in the FreeTDS "
                                                "configuration; nothing was sent to the server.");
    }
}

TEST(MapToOdbcTest, MissingDriverNamesTheProviderAndThePackage) {
    _com_error e = expect_com_error(
        [] { map("Provider=SQLNCLI10; Server=db; Database=d; UID=u; PWD=secret;", catalog({kSqlite})); });
    EXPECT_EQ(e.Error(), static_cast<HRESULT>(0x800A0E7Au));
    ASSERT_TRUE(e.Description());
    EXPECT_NE(e.Description()->find("SQLNCLI10"), CString::npos);
    EXPECT_NE(e.Description()->find("tdsodbc"), CString::npos);
    EXPECT_EQ(e.Description()->find("secret"), CString::npos);

    _com_error unknown = expect_com_error([] { map("Provider=MSDASQL; Server=nowhere;", catalog({kFreeTds})); });
    EXPECT_EQ(unknown.Error(), static_cast<HRESULT>(0x800A0E7Au));
    EXPECT_NE(unknown.Description()->find("MSDASQL"), CString::npos);
}

// FreeTDS ends a braced value at the first "};" and takes "}}" literally: every other value is braced as it stands
// and reaches it exactly; a value with "};" (which would add keywords of its own) or a NUL is refused before anything
// is sent, naming the setting and never the value. Microsoft's drivers, which read "}}", get '}' doubled.
struct FreeTdsValueRow {
    const char* name;
    const char* connectionString;
    const char* freeTdsPart; // what FreeTDS is given for the value; nullptr: refused
    DataSetting setting;     // the setting a refusal names
};

void PrintTo(const FreeTdsValueRow& row, std::ostream* out) {
    *out << row.name;
}

class FreeTdsValueTest : public ::testing::TestWithParam<FreeTdsValueRow> {};

TEST_P(FreeTdsValueTest, IsBracedAsItStandsOrRefusedNamingTheSetting) {
    const FreeTdsValueRow& row = GetParam();
    const OdbcCatalog freeTds = catalog({kFreeTds});
    if (row.freeTdsPart != nullptr) {
        // The host path's values in the ODBC string itself (with a verified login the host and port go into the
        // generated freetds.conf section instead).
        EXPECT_NE(map(row.connectionString, freeTds, true).connectionString.Text().find(row.freeTdsPart),
                  CString::npos);
        return;
    }
    _com_error e = expect_com_error([&] { map(row.connectionString, freeTds); });
    EXPECT_EQ(e.Error(), static_cast<HRESULT>(0x80040E73u));
    EXPECT_EQ(e.Cause(), DataErrorCause::SettingUnusable);
    EXPECT_EQ(e.Setting(), row.setting);
    const CString description = e.Description().value_or("");
    EXPECT_EQ(description, "contains '}' followed by ';', which the FreeTDS ODBC driver cannot be given safely; "
                           "nothing was sent to the server.");
    EXPECT_EQ(description.find("admin"), CString::npos) << description;

    const OdbcCatalog::Driver ms18{"ODBC Driver 18 for SQL Server", "libmsodbcsql-18.so"};
    const enlistor::ado::OdbcTarget microsoft = map(row.connectionString, catalog({kFreeTds, ms18}));
    EXPECT_NE(microsoft.connectionString.Text().find("}}"), CString::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FreeTdsValueTest,
    ::testing::Values(
        FreeTdsValueRow{"PasswordWithBrace", "Provider=SQLOLEDB; Server=db; Database=d; UID=sa; PWD={S3cr}}et};",
                        "PWD={S3cr}et};", DataSetting::None},
        FreeTdsValueRow{"PasswordEndingInBrace", "Provider=SQLOLEDB; Server=db; Database=d; UID=sa; PWD={S3cr}}};",
                        "PWD={S3cr}};", DataSetting::None},
        FreeTdsValueRow{"PasswordOfBracesAlone", "Provider=SQLOLEDB; Server=db; Database=d; UID=sa; PWD={}}}}};",
                        "PWD={}}};", DataSetting::None},
        FreeTdsValueRow{"ServerWithBrace", "Provider=SQLOLEDB; Server={db}}x}; Database=d; UID=sa; PWD=p;",
                        "SERVER={db}x};", DataSetting::None},
        FreeTdsValueRow{"PasswordEndingTheValue", "Provider=SQLOLEDB; Server=db; Database=d; UID=sa; PWD={S3cr}};x};",
                        nullptr, DataSetting::Password},
        FreeTdsValueRow{"LoginAddingAKeyword",
                        "Provider=SQLOLEDB; Server=db; Database=d; UID={sa}};UID=admin;X={}; PWD=p;", nullptr,
                        DataSetting::Login},
        FreeTdsValueRow{"DatabaseAddingAPort",
                        "Provider=SQLOLEDB; Server=db; Database={db}};PORT=7;A={}; UID=sa; PWD=p;", nullptr,
                        DataSetting::Database}),
    [](const ::testing::TestParamInfo<FreeTdsValueRow>& info) { return std::string(info.param.name); });

// A FreeTDS data source gets the same refusal; a data source of another driver keeps its braces.
TEST(MapToOdbcTest, DataSourcesRefuseOnlyForFreeTds) {
    const OdbcCatalog c = catalog({kFreeTds, kPostgres}, {{"Tds", "FreeTDS"}, {"Pg", "PostgreSQL Unicode"}});
    EXPECT_EQ(
        expect_com_error([&] { map("Provider=SQLOLEDB; Server=Tds; Database=d; UID=sa; PWD={a}};b};", c); }).Cause(),
        DataErrorCause::SettingUnusable);
    EXPECT_EQ(map("Provider=SQLOLEDB; Server=Pg; Database=d; UID=sa; PWD={a}};b};", c).connectionString.Text(),
              "DSN=Pg;UID=sa;PWD={a}};b};DATABASE=d;");
    EXPECT_EQ(map("Provider=SQLOLEDB; Server=Tds; Database=d; UID=sa; PWD={a}}b};", c).connectionString.Text(),
              "DSN=Tds;UID=sa;PWD={a}b};DATABASE=d;");
    // psqlODBC reads bare values URL-encoded: '+' and '%' go braced (a generated Base64 password has '+').
    EXPECT_EQ(map("Provider=SQLOLEDB; Server=Pg; Database=d%41; UID=sa; PWD=a+b/c=;", c).connectionString.Text(),
              "DSN=Pg;UID=sa;PWD={a+b/c=};DATABASE={d%41};");
    // Values FreeTDS reads right are passed: braced where they need it.
    EXPECT_EQ(map("Provider=SQLOLEDB; Server=Tds; Database=d; UID={ sa}; PWD={p;w};", c).connectionString.Text(),
              "DSN=Tds;UID={ sa};PWD={p;w};DATABASE=d;");
}

// The cause is named once, from the raw records: SQLSTATE, then the native error read as the driver gives it, then
// the driver's text; the most telling record wins whatever its position.
struct CauseRow {
    const char* name;
    std::vector<enlistor::ado::odbc::DiagRecord> records;
    const char* source;
    DataErrorCause cause;
};

void PrintTo(const CauseRow& row, std::ostream* out) {
    *out << row.name;
}

class ErrorCauseTest : public ::testing::TestWithParam<CauseRow> {};

TEST_P(ErrorCauseTest, IsClassifiedWhenRaised) {
    const CauseRow& row = GetParam();
    _com_error e = enlistor::ado::odbc::MakeError(row.records, row.source, "Connecting");
    EXPECT_EQ(e.Cause(), row.cause);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ErrorCauseTest,
    ::testing::Values(
        CauseRow{"FreeTdsLoginFailedByNativeCode",
                 {{"08001", 0, "Unable to connect to data source"}, {"S1000", 18456, "Login failed for user 'sa'."}},
                 "ODBC driver FreeTDS",
                 DataErrorCause::LoginRefused},
        CauseRow{"FreeTdsDatabaseByNativeCode",
                 {{"08004", 4060, "Cannot open database \"x\" requested by the login."}},
                 "ODBC driver FreeTDS",
                 DataErrorCause::DatabaseMissing},
        CauseRow{"NativeCodeOfAnotherDriverIsNotReadAsSqlServers",
                 {{"08001", 18456, "could not connect to server: Connection refused"}},
                 "ODBC driver PostgreSQL Unicode",
                 DataErrorCause::ServerUnreachable},
        CauseRow{"PostgresEmptyPasswordIsARefusedLogin",
                 {{"08001", 101, "fe_sendauth: no password supplied"}},
                 "ODBC driver PostgreSQL Unicode",
                 DataErrorCause::LoginRefused},
        CauseRow{"StatementTimeLimit",
                 {{"HYT00", 0, "[FreeTDS][SQL Server]Query timeout expired"}},
                 "ODBC driver FreeTDS",
                 DataErrorCause::ServerTimedOut},
        CauseRow{"PostgresStatementCancelledAtItsTimeLimit",
                 {{"57014", 7, "ERROR: canceling statement due to statement timeout"}},
                 "ODBC driver PostgreSQL Unicode",
                 DataErrorCause::ServerTimedOut},
        CauseRow{"SqliteCannotOpenByResultCode",
                 {{"HY000", 14, "unable to open"}},
                 "ODBC driver SQLite3",
                 DataErrorCause::DatabaseMissing},
        CauseRow{"SqliteReadOnlyByResultCode",
                 {{"HY000", 8, "attempt to write"}},
                 "ODBC driver SQLite3",
                 DataErrorCause::PermissionDenied},
        CauseRow{"FreeTdsWrongDatabaseBeforeTheLoginFailure",
                 {{"28000", 18456, "Login failed for user 'sa'."},
                  {"28000", 4060, "Cannot open database \"x\" requested by the login. The login failed."}},
                 "ODBC driver FreeTDS",
                 DataErrorCause::DatabaseMissing},
        CauseRow{"FreeTdsWrongDatabaseAfterTheLoginFailure",
                 {{"28000", 4060, "Cannot open database \"x\" requested by the login. The login failed."},
                  {"28000", 18456, "Login failed for user 'sa'."}},
                 "ODBC driver FreeTDS",
                 DataErrorCause::DatabaseMissing},
        CauseRow{"SqlServerNetworkNumberOverAGenericState",
                 {{"HY000", 10061, "No connection could be made because the target machine actively refused it."}},
                 "ODBC driver ODBC Driver 18 for SQL Server",
                 DataErrorCause::ServerUnreachable},
        CauseRow{"PostgresMissingRoleIsARefusedLogin",
                 {{"08001", 101, "FATAL:  role \"nobody\" does not exist"}},
                 "ODBC driver PostgreSQL Unicode",
                 DataErrorCause::LoginRefused},
        CauseRow{"PostgresHbaRejectionIsARefusedLogin",
                 {{"08001", 101, "FATAL:  pg_hba.conf rejects connection for host \"127.0.0.1\", user \"sa\""}},
                 "ODBC driver PostgreSQL Unicode",
                 DataErrorCause::LoginRefused},
        CauseRow{"NothingKnown", {{"HY000", 1, "something odd"}}, "ODBC driver X", DataErrorCause::Other}),
    [](const ::testing::TestParamInfo<CauseRow>& info) { return std::string(info.param.name); });

TEST(OdbcErrorTest, SqlStateClassesMapToTheirHresults) {
    EXPECT_EQ(enlistor::ado::odbc::HresultFromSqlState("08001"), E_FAIL);
    EXPECT_EQ(enlistor::ado::odbc::HresultFromSqlState("28000"), static_cast<HRESULT>(0x80040E4Du));
    EXPECT_EQ(enlistor::ado::odbc::HresultFromSqlState("42S02"), static_cast<HRESULT>(0x80040E14u));
    EXPECT_EQ(enlistor::ado::odbc::HresultFromSqlState("23505"), static_cast<HRESULT>(0x80040E2Fu));
    EXPECT_EQ(enlistor::ado::odbc::HresultFromSqlState("HYT00"), E_FAIL);
    EXPECT_EQ(enlistor::ado::odbc::HresultFromSqlState(""), E_FAIL);
}

TEST(OdbcErrorTest, AllRecordsAreScannedJoinedAndScrubbed) {
    // FreeTDS puts the login refusal after a generic record at times: the refusal decides wherever it stands.
    std::vector<enlistor::ado::odbc::DiagRecord> records{
        {"08001", 0, "[FreeTDS][SQL Server]Unable to connect to data source"},
        {"28000", 18456, "Login failed for user 'sa' (pw: hunter2)"},
        {"08001", 0, "[FreeTDS][SQL Server]Unable to connect to data source"}};
    _com_error e = enlistor::ado::odbc::MakeError(records, "ODBC driver FreeTDS", "Connecting", "hunter2");
    EXPECT_EQ(e.Error(), static_cast<HRESULT>(0x80040E4Du));
    EXPECT_EQ(e.SqlState(), "28000");
    EXPECT_EQ(*e.Source(), "ODBC driver FreeTDS");
    EXPECT_EQ(*e.Description(),
              "Login failed for user 'sa' (pw: ***); [FreeTDS][SQL Server]Unable to connect to data source");
    // The same records in another order give the same error.
    std::swap(records[0], records[1]);
    EXPECT_EQ(*enlistor::ado::odbc::MakeError(records, "s", "c", "hunter2").Description(), *e.Description());

    _com_error empty = enlistor::ado::odbc::MakeError({}, "ODBC driver X", "Connecting");
    EXPECT_EQ(empty.Error(), E_FAIL);
    EXPECT_EQ(*empty.Description(), "Connecting failed without diagnostic information");
}

TEST(SqlServerBrowserTest, ReadsTheTcpPortOfTheAnswer) {
    auto answer = [](const std::string& text) {
        std::string bytes = "\x05";
        bytes += static_cast<char>(text.size() & 0xFF);
        bytes += static_cast<char>(text.size() >> 8);
        return bytes + text;
    };
    auto parse = [](const std::string& bytes) {
        return enlistor::ado::ParseBrowserResponse(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    };
    EXPECT_EQ(parse(answer("ServerName;DB;InstanceName;SQLEXPRESS;IsClustered;No;Version;15.0.2000.5;tcp;49172;;")),
              49172);
    EXPECT_EQ(parse(answer("ServerName;DB;InstanceName;X;np;\\\\DB\\pipe\\sql\\query;;")), 0);
    EXPECT_EQ(parse(answer("ServerName;DB;tcp;99999;;")), 0);
    EXPECT_EQ(parse(answer("ServerName;DB;tcp;14x;;")), 0);
    EXPECT_EQ(parse("\x04xyz"), 0);
    // A length field larger than the datagram reads only what arrived.
    EXPECT_EQ(parse(std::string("\x05\xff\xff", 3) + "tcp;1500"), 1500);
}

TEST(ComTest, CallsAreCountedPerThreadAndBalance) {
    EXPECT_EQ(CoInitializeDepth(), 0);
    {
        CComScope outer;
        EXPECT_EQ(outer.Result(), S_OK);
        CComScope inner;
        EXPECT_EQ(inner.Result(), S_FALSE);
        EXPECT_EQ(CoInitializeDepth(), 2);
    }
    EXPECT_EQ(CoInitializeDepth(), 0);
    CoUninitialize(); // an extra stop does not go below zero
    EXPECT_EQ(CoInitializeDepth(), 0);
}

TEST(ComErrorTest, SystemMessageIsTrimmedOrFallsBack) {
    EXPECT_STREQ(_com_error(E_POINTER).ErrorMessage(), "Invalid pointer");
    EXPECT_STREQ(_com_error(E_ACCESSDENIED).ErrorMessage(), "Access is denied.");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80040205u)).ErrorMessage(), "IDispatch error #5");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x8004FFFFu)).ErrorMessage(), "IDispatch error #65023");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80040200u)).ErrorMessage(), "Unknown error 0x80040200");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80040E4Du)).ErrorMessage(), "IDispatch error #3149");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x800A0E7Au)).ErrorMessage(), "Unknown error 0x800A0E7A");
    EXPECT_STREQ(_com_error(1).ErrorMessage(), "Unknown error 0x1");
    // Looked up once: the same text object is returned again.
    _com_error e(E_POINTER);
    EXPECT_EQ(e.ErrorMessage(), e.ErrorMessage());
}

TEST(MissingObjectTest, CallsThroughAMissingObjectRaiseEPointerWithoutErrorInfo) {
    enlistor::ado::Connection connection;
    enlistor::ado::Recordset recordset;
    const std::vector<std::function<void()>> calls{
        [&] { connection.Open("Provider=SQLOLEDB;", "", "", 0); },
        [&] { connection.Execute("x", {}, 0); },
        [&] { connection.GetState(); },
        [&] { connection.Close(); },
        [&] {
            recordset.Open("x", {}, connection, enlistor::ado::adOpenKeyset, enlistor::ado::adLockOptimistic,
                           enlistor::ado::adCmdText);
        },
        [&] { recordset.IsEOF(); },
        [&] { recordset.Close(); },
    };
    for (const auto& call : calls) {
        _com_error e = expect_com_error(call);
        EXPECT_EQ(e.Error(), E_POINTER);
        EXPECT_FALSE(e.Source());
        EXPECT_FALSE(e.Description());
    }
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    connection.Release();
    EXPECT_FALSE(connection.Exists());
    EXPECT_EQ(expect_com_error([&] { connection.GetState(); }).Error(), E_POINTER);
}

// The object cannot be created when its ODBC environment cannot be allocated: the HRESULT says so, no object is
// left, and the next attempt (the fault gone) succeeds.
TEST(ConnectionCreateTest, EnvironmentAllocationFailureInjected) {
    enlistor::ado::Connection connection;
    {
        enlistor::test::ScopedOdbcFault fault({enlistor::test::OdbcCall::AllocEnvironment});
        EXPECT_EQ(connection.CreateInstance(), E_OUTOFMEMORY);
        EXPECT_FALSE(connection.Exists());
        EXPECT_EQ(fault.hits(), 1);
    }
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    EXPECT_EQ(connection.GetState(), enlistor::ado::adStateClosed);
}

} // namespace

// Texts cross into the wide calls as UTF-16 from the process's character set (UTF-8 in the "C" locale these tests
// run in) and come back the same way; a byte sequence that is not text there is refused, not guessed at.
TEST(WideTextTest, ConvertsRoundTripAndRefusesWhatIsNotText) {
    using namespace enlistor::ado::wide;
    EXPECT_EQ(ProcessCharset(), "UTF-8");
    for (const CString& text : {CString(), CString("plain"), CString("Z\u00fcrich"), CString("Pa\u00df-\u20ac"),
                                CString("\U0001F600 beyond the BMP"), CString(300, 'p')}) {
        const std::optional<WideText> wide = ToWide(text);
        ASSERT_TRUE(wide) << text;
        EXPECT_EQ(FromWide(wide->data(), wide->size()), text);
    }
    EXPECT_EQ(ToWide("\u20ac")->size(), 1u);
    EXPECT_EQ(ToWide("\U0001F600")->size(), 2u); // a surrogate pair
    for (const char* broken : {"\xff", "pw\xc3(", "\xe2\x82", "\xc0\xaf", "\xed\xa0\x80"})
        EXPECT_FALSE(ToWide(broken)) << broken;
    const SQLWCHAR lone[] = {'a', 0xD800, 'b'};
    EXPECT_EQ(FromWide(lone, 3), "a?b");
}

// iconv's own UTF-8 <-> UTF-16LE conversion, as FromWide and ToWide made it for every character set: the oracle for
// the UTF-8 conversion they now make without iconv.
std::optional<enlistor::ado::wide::WideText> iconv_to_wide(const std::string& text) {
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    std::vector<char> out(4 * text.size() + 4);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* at = out.data();
    std::size_t outLeft = out.size();
    const bool ok = iconv(cd, &in, &inLeft, &at, &outLeft) != static_cast<std::size_t>(-1) && inLeft == 0;
    iconv_close(cd);
    if (!ok)
        return std::nullopt;
    enlistor::ado::wide::WideText wide((out.size() - outLeft) / 2, 0);
    std::copy(out.data(), at, reinterpret_cast<char*>(wide.data()));
    return wide;
}

CString iconv_from_wide(const std::vector<SQLWCHAR>& units) {
    iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
    char* in = reinterpret_cast<char*>(const_cast<SQLWCHAR*>(units.data()));
    std::size_t inLeft = units.size() * sizeof(SQLWCHAR);
    CString result;
    char buffer[64];
    while (inLeft > 0) {
        char* at = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(cd, &in, &inLeft, &at, &outLeft);
        result.append(buffer, static_cast<std::size_t>(at - buffer));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            result += '?';
            const std::size_t skip = std::min(inLeft, sizeof(SQLWCHAR));
            in += skip;
            inLeft -= skip;
        }
    }
    iconv_close(cd);
    return result;
}

// UTF-8 texts are converted as iconv converts them, the texts it refuses included, and back.
TEST(WideTextTest, Utf8IsConvertedAsIconvConvertsIt) {
    using namespace enlistor::ado::wide;
    ASSERT_EQ(ProcessCharset(), "UTF-8");
    for (const std::string& text :
         {std::string(), std::string("plain"), std::string("a\0b", 3), std::string("\x7f\x01\x1b"),
          std::string("Z\u00fcrich \u20ac"), std::string("\U0001F600\U0010FFFF"), std::string("\xef\xbf\xbf"),
          std::string("\xff"), std::string("pw\xc3("), std::string("\xe2\x82"), std::string("\xc0\xaf"),
          std::string("\xe0\x80\xaf"), std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80"),
          std::string("\xf8\x88\x80\x80\x80"), std::string("\xf0\x9f\x98"), std::string("ok\x80")})
        EXPECT_EQ(ToWide(text), iconv_to_wide(text)) << testing::PrintToString(text);
    for (const std::vector<SQLWCHAR>& units : std::vector<std::vector<SQLWCHAR>>{{},
                                                                                 {'a', 0, 'b'},
                                                                                 {0x00fc, 0x20ac, 0xffff},
                                                                                 {0xd83d, 0xde00},
                                                                                 {'a', 0xd800, 'b'},
                                                                                 {0xdc00, 'x'},
                                                                                 {0xd83d},
                                                                                 {0xd800, 0xd800, 0xdc00}})
        EXPECT_EQ(FromWide(units.data(), units.size()), iconv_from_wide(units)) << testing::PrintToString(units);
}

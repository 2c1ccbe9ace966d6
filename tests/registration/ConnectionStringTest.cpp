#include "registration/Registration.h"

#include "cipher/Rijndael.h"
#include "platform/data/ConnectionString.h"
#include "settings/DatabaseSettings.h"
#include "settings/VLReg.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using enlistor::test::TempDir;

// The one quoting of connection-string values: values that stand bare are written exactly as they are; the rest are
// braced with '}' doubled.
TEST(QuoteConnectionStringValue, OrdinaryValuesStayAsTheyAre) {
    for (const std::string value : {"", "db01", "10.0.0.5,1433", "db01\\SQLEXPRESS", "sa", "p@ss w0rd", "x=y"})
        EXPECT_EQ(enlistor::ado::QuoteConnectionStringValue(value), value);
    EXPECT_EQ(enlistor::ado::QuoteConnectionStringValue("p;w"), "{p;w}");
    EXPECT_EQ(enlistor::ado::QuoteConnectionStringValue("{x}"), "{{x}}}");
    EXPECT_EQ(enlistor::ado::QuoteConnectionStringValue("\"q\""), "{\"q\"}");
    EXPECT_EQ(enlistor::ado::QuoteConnectionStringValue(" lead"), "{ lead}");
    EXPECT_EQ(enlistor::ado::QuoteConnectionStringValue("trail\t"), "{trail\t}");
    EXPECT_EQ(enlistor::ado::QuoteConnectionStringValue("a}b"), "{a}}b}");
}

// Every value, in every position of the string, is read back exactly by the data objects' parser.
TEST(QuoteConnectionStringValue, ParserReadsEveryValueBack) {
    const std::vector<std::string> values = {"",
                                             "plain",
                                             "p;w",
                                             ";",
                                             "{",
                                             "}",
                                             "{x",
                                             "x}",
                                             "a}}b",
                                             "{a}}b;c}",
                                             "\"q",
                                             "q\"",
                                             " lead",
                                             "trail ",
                                             "   ",
                                             "x=y;z",
                                             "=",
                                             "PWD=x;",
                                             "\xc3\xa9;\xe2\x82\xac",
                                             "a b"};
    const char* keywords[] = {"Provider", "Server", "Database", "UID", "PWD"};
    for (const std::string& value : values) {
        for (int position = 0; position < 5; ++position) {
            std::string parts[5] = {"SQLOLEDB", "db01", "Suite", "sa", "secret"};
            parts[position] = enlistor::ado::QuoteConnectionStringValue(value);
            const std::string text = "Provider=" + parts[0] + "; Server=" + parts[1] + "; Database=" + parts[2] +
                                     "; UID=" + parts[3] + "; PWD=" + parts[4] + ";";
            const enlistor::ado::ConnectionOptions options = enlistor::ado::ConnectionOptions::Parse(text);
            EXPECT_EQ(options.GetOr(keywords[position], "<absent>"), value) << text;
            EXPECT_EQ(options.GetOr("UID", "<absent>"), position == 3 ? value : "sa") << text;
        }
    }
}

// The driver manager takes the location of its configuration once per process: every test of this program uses the
// same directory and rewrites the files in it.
const std::filesystem::path& odbc_dir() {
    static TempDir dir;
    return dir.path();
}

// A temporary registry root and a driver list of our own, for the settings the connection string is built from.
class ConnectionStringTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(setenv("ENLISTOR_REGISTRY", (m_dir.path() / "registry").c_str(), 1), 0);
        enlistor::test::UseTestOdbcConfig(odbc_dir());
    }
    void TearDown() override { unsetenv("ENLISTOR_REGISTRY"); }

    static void WriteRaw(const char* name, const std::string& data) {
        CVLReg reg;
        ASSERT_TRUE(reg.WriteValue(SettingsKeyPath(), name, data, REG_SZ)) << reg.m_strLastError;
    }

    TempDir m_dir;
};

// Without any SQL Server client driver installed the provider is SQLOLEDB.
TEST_F(ConnectionStringTest, ProviderFallsBackToSqlOleDb) {
    EXPECT_EQ(GetProviderName(), "SQLOLEDB");
}

// The stored settings fill the fixed format; the password is stored encrypted and comes back decrypted.
TEST_F(ConnectionStringTest, FormatIsFilledFromTheStoredSettings) {
    ASSERT_TRUE(SaveDatabaseSettingsValue(
        DatabaseSettingsValue::FromTexts("db01", "10.1.2.3", "VelmoraSuite", "sa", "S3cret!")));
    EXPECT_EQ(GetConnectionString().Text(),
              "Provider=SQLOLEDB; Server=db01; Database=VelmoraSuite; UID=sa; PWD=S3cret!;");
}

// Nothing stored: the string is still formatted, with empty values.
TEST_F(ConnectionStringTest, MissingSettingsGiveEmptyValues) {
    EXPECT_EQ(GetConnectionString().Text(), "Provider=SQLOLEDB; Server=; Database=; UID=; PWD=;");
}

// 44 characters or more is an encrypted password (an undecryptable one gives an empty password); 43 or fewer is used
// exactly as stored.
TEST_F(ConnectionStringTest, PasswordIsDecryptedFrom44Characters) {
    ASSERT_TRUE(SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts("db01", "", "Suite", "sa", "")));
    const std::string plain43(43, 'k');
    WriteRaw("DBUserPassword", plain43);
    EXPECT_EQ(GetConnectionString().Text(),
              "Provider=SQLOLEDB; Server=db01; Database=Suite; UID=sa; PWD=" + plain43 + ";");

    WriteRaw("DBUserPassword", std::string(44, '#'));
    EXPECT_EQ(GetConnectionString().Text(), "Provider=SQLOLEDB; Server=db01; Database=Suite; UID=sa; PWD=;");

    CRijndael cipher;
    const std::string stored = cipher.EncryptPassword(SecretText(std::string(40, 'p')), kPasswordKeyRow);
    ASSERT_EQ(stored.size(), 88u);
    WriteRaw("DBUserPassword", stored);
    EXPECT_EQ(GetConnectionString().Text(),
              "Provider=SQLOLEDB; Server=db01; Database=Suite; UID=sa; PWD=" + std::string(40, 'p') + ";");
}

// A password with ';' (and a server with a leading blank) no longer breaks the string: they are braced and read back
// whole, while the other values stay as the format shows them.
TEST_F(ConnectionStringTest, ValuesThatNeedQuotingAreBraced) {
    ASSERT_TRUE(SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts(" db01", "", "Suite", "sa", "pa;ss}word")));
    const std::string text = GetConnectionString().Text();
    EXPECT_EQ(text, "Provider=SQLOLEDB; Server={ db01}; Database=Suite; UID=sa; PWD={pa;ss}}word};");
    const enlistor::ado::ConnectionOptions options = enlistor::ado::ConnectionOptions::Parse(text);
    EXPECT_EQ(options.GetOr("PWD"), "pa;ss}word");
    EXPECT_EQ(options.GetOr("Server"), " db01");
    EXPECT_EQ(options.GetOr("Database"), "Suite");
}

// The newest installed SQL Server client decides the provider; the probe sees the driver manager's list.
class ProviderProbeTest : public ::testing::Test {
protected:
    void UseDrivers(const std::vector<std::string>& drivers) {
        ASSERT_EQ(setenv("ENLISTOR_REGISTRY", (m_dir.path() / "registry").c_str(), 1), 0);
        enlistor::test::UseTestOdbcConfig(odbc_dir());
        // The Register command always stores the settings first, so the hive exists when the probe runs.
        ASSERT_TRUE(SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts("db01", "", "Suite", "sa", "")));
        std::ofstream ini(odbc_dir() / "odbcinst.ini", std::ios::app);
        for (const std::string& driver : drivers)
            ini << "\n[" << driver << "]\nDriver=libtdsodbc.so\n";
    }
    void TearDown() override { unsetenv("ENLISTOR_REGISTRY"); }
    TempDir m_dir;
};

TEST_F(ProviderProbeTest, NewestInstalledClientWins) {
    UseDrivers({"SQL Native Client", "SQL Server Native Client 10.0"});
    EXPECT_EQ(GetProviderName(), "SQLNCLI10");
    UseDrivers({"SQL Server Native Client 11.0"});
    EXPECT_EQ(GetProviderName(), "SQLNCLI11");
}

// Both the 11.0 and the 10.0 client installed at once: the newer decides, whatever their order in the list.
TEST_F(ProviderProbeTest, BothNativeClientsInstalledGiveTheNewer) {
    UseDrivers({"SQL Server Native Client 10.0", "SQL Server Native Client 11.0"});
    EXPECT_EQ(GetProviderName(), "SQLNCLI11");
    UseDrivers({"SQL Server Native Client 11.0", "SQL Native Client", "SQL Server Native Client 10.0"});
    EXPECT_EQ(GetProviderName(), "SQLNCLI11");
}

TEST_F(ProviderProbeTest, OldestClientAlone) {
    UseDrivers({"SQL Native Client"});
    EXPECT_EQ(GetProviderName(), "SQLNCLI");
}

} // namespace

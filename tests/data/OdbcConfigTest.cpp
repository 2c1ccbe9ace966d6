// How the data objects read a data source's settings from odbc.ini: the attributes listed once and only those the
// data source sets read, with the same answers the one-by-one lookups of the driver manager give (names compared
// case-insensitively, a user data source hiding a system one of the same name whole).
#include "platform/data/Odbc.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace {

using namespace enlistor::test;
namespace odbc = enlistor::ado::odbc;

TEST(DataSourceAttributesTest, AgreeWithOneByOneLookups) {
    TempDir dir;
    UseTestOdbcConfig(dir.path(), {DataSource{"Mixed",
                                              "PostgreSQL Unicode",
                                              {{"SERVERNAME", "db.example"}, {"port", "5433"}, {"SSLMode", "require"}}},
                                   DataSource{"Shadowed", "SQLite3", {{"Database", "/system.db"}, {"Port", "1"}}},
                                   DataSource{"Shadowed", "SQLite3", {{"Database", "/user.db"}}, true}});
    const std::vector<std::string_view> keys = {"Servername", "Server", "Port", "SSLmode", "Encryption", "Database"};

    EXPECT_EQ(odbc::DataSourceAttributes("Mixed", keys),
              (std::vector<CString>{"db.example", "", "5433", "require", "", ""}));
    EXPECT_EQ(odbc::DataSourceAttributes("shadowed", keys), (std::vector<CString>{"", "", "", "", "", "/user.db"}));
    EXPECT_EQ(odbc::DataSourceAttributes("Missing", keys), std::vector<CString>(keys.size()));
    for (const char* name : {"Mixed", "MIXED", "Shadowed", "Missing"}) {
        const std::vector<CString> values = odbc::DataSourceAttributes(name, keys);
        for (std::size_t i = 0; i < keys.size(); ++i)
            EXPECT_EQ(values[i], odbc::DataSourceAttribute(name, CString(keys[i]))) << name << " " << keys[i];
    }
}

} // namespace

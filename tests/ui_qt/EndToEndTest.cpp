// The whole application in the window front end (offscreen): theApp's start-up, the real settings store on a
// temporary registry root, the real registration over ODBC; Register pressed with the keyboard, the row checked
// in the database.
#include "app/EnlistorUtilityApp.h"
#include "platform/ui/qt/QtFrontEnd.h"
#include "registration/Registration.h"
#include "settings/DatabaseSettings.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/ScriptedWindow.h"
#include "tests/ui_qt/QtDriver.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace enlistor::test;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(setenv("ENLISTOR_REGISTRY", (dir.path() / "registry").c_str(), 1), 0); }
    void TearDown() override { unsetenv("ENLISTOR_REGISTRY"); }

    // Runs the application; the operator tabs to Register, presses Enter, reads the box, closes it and presses
    // Esc. Returns the box's caption and text.
    std::pair<std::string, std::string> RegisterThroughTheWindow() {
        std::pair<std::string, std::string> box;
        WhenDialogShown([&box](QDialog* d) {
            for (int i = 0; i < 5; ++i) {
                QTest::keyClick(d->focusWidget(), Qt::Key_Tab);
            }
            EXPECT_EQ(d->focusWidget()->objectName(), "1005");
            WhenMessageBoxShown([&box](QMessageBox* shown) {
                box = {shown->windowTitle().toStdString(), shown->text().toStdString()};
                SaveScreenshot(shown, "end_to_end_box");
                QTest::keyClick(shown, Qt::Key_Return);
                WhenDialogShown([](QDialog* d2) { QTest::keyClick(d2->focusWidget(), Qt::Key_Escape); });
            });
            QTest::keyClick(d->focusWidget(), Qt::Key_Return);
        });
        FrontEndScope scope(&QtFrontEnd());
        EXPECT_FALSE(theApp.InitInstance());
        return box;
    }

    TempDir dir;
};

// The SQLite demo path: a user DSN naming the suite database, settings pointing at it.
TEST_F(EndToEnd, RegisterEntersThisMachineIntoSqliteDemoDatabase) {
    const auto db = dir.path() / "suite.db";
    CreateSqliteSuiteDatabase(db);
    UseTestOdbcConfig(dir.path(),
                      {{"EnlistorDemo", "SQLite3", {{"Database", db.string()}, {"NoCreat", "1"}}, /*user=*/true}});
    ASSERT_TRUE(SaveDatabaseSettingsValue(
        DatabaseSettingsValue::FromTexts("EnlistorDemo", "127.0.0.1", "suite", "demo", "demo-password")));

    const auto [caption, text] = RegisterThroughTheWindow();
    EXPECT_EQ(caption, "Success");
    EXPECT_EQ(text, "Server registered successfully");
    const Rows rows = QueryRows(SqliteConnectionString(db), "SELECT ServerName, ServerIP FROM tblRegisteredServers");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1], GetLocalIPAddress());

    // A second run finds the address known: success again, no second row.
    const auto again = RegisterThroughTheWindow();
    EXPECT_EQ(again.first, "Success");
    EXPECT_EQ(QueryRows(SqliteConnectionString(db), "SELECT ServerIP FROM tblRegisteredServers").size(), 1u);
}

// A database that cannot be opened: the error text under "Error", and the settings as they were before.
TEST_F(EndToEnd, FailureShowsDatabaseErrorAndKeepsEarlierSettings) {
    UseTestOdbcConfig(dir.path(), {{"EnlistorDemo",
                                    "SQLite3",
                                    {{"Database", (dir.path() / "missing.db").string()}, {"NoCreat", "1"}},
                                    /*user=*/true}});
    ASSERT_TRUE(SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts("EnlistorDemo", "", "suite", "demo", "pw")));
    const auto [caption, text] = RegisterThroughTheWindow();
    EXPECT_EQ(caption, "Error");
    EXPECT_FALSE(text.empty());
    DatabaseSettingsValue stored;
    EXPECT_TRUE(LoadDatabaseSettingsValue(stored));
    EXPECT_EQ(stored.server, "EnlistorDemo");
    EXPECT_EQ(stored.password.Text(), "pw");
}

// The PostgreSQL test server through a server DSN: a real login over loopback.
TEST_F(EndToEnd, RegisterEntersThisMachineIntoPostgres) {
    std::string why;
    const auto server = PostgresServer::Load(&why);
    if (!server) {
        GTEST_SKIP() << why;
    }
    const std::string database = server->NewSuiteDatabase();
    UseTestOdbcConfig(dir.path(), {{"EnlistorPg", "PostgreSQL Unicode", server->DataSourceAttributes(),
                                    /*user=*/true}});
    ASSERT_TRUE(SaveDatabaseSettingsValue(
        DatabaseSettingsValue::FromTexts("EnlistorPg", "", database, server->user, server->password)));

    const auto [caption, text] = RegisterThroughTheWindow();
    EXPECT_EQ(caption, "Success") << text;
    const Rows rows =
        QueryRows(server->ConnectionString(database), "SELECT ServerName, ServerIP FROM tblRegisteredServers");
    EXPECT_EQ(rows.size(), 1u);
    server->DropDatabase(database);
}

} // namespace

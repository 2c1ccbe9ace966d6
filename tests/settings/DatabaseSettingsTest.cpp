#include "settings/DatabaseSettings.h"

#include "cipher/Rijndael.h"

#include "tests/registry/HiveTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;
using namespace enlistor::test;

namespace {

const char* const key_path = "SOFTWARE\\Velmora\\General";

CString encrypt(const CString& password) {
    CRijndael cipher;
    return cipher.EncryptPassword(SecretText(password), kPasswordKeyRow);
}

struct Settings {
    CString server, ip, name, user, password;
    bool operator==(const Settings&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Settings& s) {
    return out << "{" << s.server << "|" << s.ip << "|" << s.name << "|" << s.user << "|" << s.password << "}";
}

Settings load() {
    Settings s{"x", "x", "x", "x", "x"};
    DatabaseSettingsValue value;
    (void)LoadDatabaseSettingsValue(value); // unreadable values load empty; the cases that care check the result
    value.CopyTo(s.server, s.ip, s.name, s.user, s.password);
    return s;
}
void save(const Settings& s) {
    EXPECT_TRUE(
        SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts(s.server, s.ip, s.name, s.user, s.password)));
}

std::string stored_text(const char* name) {
    return AsText(GetValue(key_path, name).data);
}

class DatabaseSettingsTest : public ::testing::Test {
protected:
    ScopedHive m_hive;
};

TEST_F(DatabaseSettingsTest, KeyPathIsBuiltFromTheSuiteKeyAndGeneral) {
    EXPECT_EQ(SettingsKeyPath(), "SOFTWARE\\Velmora\\General");
}

TEST_F(DatabaseSettingsTest, MissingKeyLoadsEmptyFieldsAndTheFirstSaveCreatesIt) {
    // No key: five empty fields and success; the save then makes the key with five REG_SZ values, no terminators.
    EXPECT_EQ(load(), Settings{});
    save({"db01", "10.0.0.5", "Suite", "sa", "secret"});
    for (const auto& [name, text] : {std::pair{"DatabaseServer", "db01"}, std::pair{"DBServerIP", "10.0.0.5"},
                                     std::pair{"DatabaseName", "Suite"}, std::pair{"DBUserID", "sa"}}) {
        const StoredValue value = GetValue(key_path, name);
        EXPECT_EQ(value.status, ERROR_SUCCESS) << name;
        EXPECT_EQ(value.type, REG_SZ) << name;
        EXPECT_EQ(AsText(value.data), text) << name;
    }
    EXPECT_EQ(stored_text("DBUserPassword"), encrypt("secret"));
    EXPECT_EQ(load(), (Settings{"db01", "10.0.0.5", "Suite", "sa", "secret"}));
}

TEST_F(DatabaseSettingsTest, UnreadableValueLoadsEmptyAndIsReplacedByTextOnSave) {
    // A REG_DWORD "DatabaseName" is an empty field, the others still load; the next save stores REG_SZ text.
    save({"db01", "10.0.0.5", "Suite", "sa", "pw"});
    ASSERT_EQ(SetValue(key_path, "DatabaseName", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
    Settings loaded = load();
    EXPECT_EQ(loaded, (Settings{"db01", "10.0.0.5", "", "sa", "pw"}));
    loaded.name = "Other";
    save(loaded);
    const StoredValue value = GetValue(key_path, "DatabaseName");
    EXPECT_EQ(value.type, REG_SZ);
    EXPECT_EQ(AsText(value.data), "Other");
}

TEST_F(DatabaseSettingsTest, StoredPasswordOf43CharactersIsPlainAnd44IsEncrypted) {
    // The 44-character rule on load: 43 shown as stored; 44 or more decrypted (empty when it does not decrypt).
    const std::string plain43(43, 'p');
    ASSERT_EQ(SetText(key_path, "DBUserPassword", REG_SZ, plain43), ERROR_SUCCESS);
    EXPECT_EQ(load().password, plain43);

    const CString stored = encrypt("hunter2");
    ASSERT_EQ(stored.size(), 44u);
    ASSERT_EQ(SetText(key_path, "DBUserPassword", REG_SZ, stored), ERROR_SUCCESS);
    EXPECT_EQ(load().password, "hunter2");

    ASSERT_EQ(SetText(key_path, "DBUserPassword", REG_SZ, std::string(44, '!')), ERROR_SUCCESS);
    EXPECT_EQ(load().password, "");
}

TEST_F(DatabaseSettingsTest, PlainStoredPasswordIsEncryptedByTheNextSave) {
    // A short plain stored password loads unchanged and is written back encrypted.
    ASSERT_EQ(SetText(key_path, "DBUserPassword", REG_SZ, "plain"), ERROR_SUCCESS);
    const Settings loaded = load();
    EXPECT_EQ(loaded.password, "plain");
    save(loaded);
    EXPECT_EQ(stored_text("DBUserPassword"), encrypt("plain"));
}

TEST_F(DatabaseSettingsTest, EmptyPasswordIsStoredAsTheEncryptedEmptyText) {
    // An empty field is stored as the 44-character encrypted form of "" and loads back empty.
    save({"s", "i", "n", "u", ""});
    const std::string stored = stored_text("DBUserPassword");
    EXPECT_EQ(stored.size(), 44u);
    EXPECT_EQ(stored, encrypt(""));
    EXPECT_EQ(load().password, "");
}

TEST_F(DatabaseSettingsTest, LongTypedPasswordIsEncryptedAndRoundTrips) {
    // A typed password of 44 or more characters is not an encrypted text: it is stored encrypted, never in
    // plain text, and the next load gives it back.
    for (std::size_t length : {44, 45, 63, 64, 65, 200, 300}) {
        std::string password;
        for (std::size_t i = 0; i < length; ++i)
            password += static_cast<char>('!' + (i * 13) % 94);
        SCOPED_TRACE(length);
        save({"s", "i", "n", "u", password});
        const std::string stored = stored_text("DBUserPassword");
        EXPECT_NE(stored, password);
        EXPECT_EQ(stored, encrypt(password));
        EXPECT_EQ(load().password, password);
    }
}

TEST_F(DatabaseSettingsTest, TypedPasswordIsStoredEncryptedWhateverItLooksLike) {
    // A member is a password even when it is itself an encrypted text (a generated Base64 password can be one): it
    // is stored encrypted and loads back exactly.
    std::vector<CString> passwords = {encrypt("inner password"), encrypt(""), CString(128, 'p'),
                                      "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWY="};
    for (int i = 0; i < 20; ++i)
        passwords.push_back(encrypt("generated " + std::to_string(i)));
    for (const CString& password : passwords) {
        save({"s", "i", "n", "u", password});
        EXPECT_EQ(stored_text("DBUserPassword"), encrypt(password)) << password;
        EXPECT_EQ(load().password, password);
    }
}

TEST_F(DatabaseSettingsTest, TextsAreWrittenUpToTheirFirstZeroAndAtAnyLength) {
    // A member with a zero character is stored up to it; texts longer than 255 characters round-trip whole.
    const std::string long_name(1000, 'n');
    save({std::string("db\0tail", 7), "ip", long_name, "u", std::string("pw\0x", 4)});
    EXPECT_EQ(stored_text("DatabaseServer"), "db");
    EXPECT_EQ(load(), (Settings{"db", "ip", long_name, "u", "pw"}));
}

TEST_F(DatabaseSettingsTest, SaveReportsSuccess) {
    // All five written: true, and the error is left as it was.
    SettingsStoreError error{"unchanged", 7, "unchanged"};
    EXPECT_TRUE(SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts("s", "i", "n", "u", "p"), &error));
    EXPECT_EQ(error.text, "unchanged");
    EXPECT_TRUE(SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts("s", "i", "n", "u", "p")));
}

TEST_F(DatabaseSettingsTest, RefusedKeyLoadsEmptyAndSaveSaysWhy) {
    // As nobody with a read-only settings key: the save changes nothing and returns false with the first failure's
    // text. With an unreadable key every field loads empty.
    save({"db01", "ip", "Suite", "sa", "pw"});
    OpenHiveToAll(m_hive);
    const fs::path key = m_hive.localMachine() / "SOFTWARE" / "Velmora" / "General";
    fs::permissions(key, fs::perms(0555), fs::perm_options::replace);
    const std::string report = RunAsNobody([] {
        SettingsStoreError error;
        std::string out = SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts("x", "x", "x", "x", "x"), &error)
                              ? "true"
                              : "false";
        out += " [" + error.valueName + ": " + error.text + "]";
        const Settings s = load();
        return out + " " + s.server + "|" + s.ip + "|" + s.name + "|" + s.user + "|" + s.password;
    });
    EXPECT_EQ(report, "false [DatabaseServer: Access is denied.\r\n] db01|ip|Suite|sa|pw");

    fs::permissions(key, fs::perms(0333), fs::perm_options::replace);
    const std::string unreadable = RunAsNobody([] {
        DatabaseSettingsValue value = DatabaseSettingsValue::FromTexts("x", "x", "x", "x", "x");
        const bool read = LoadDatabaseSettingsValue(value);
        return std::string(read ? "true " : "false ") + value.server + "|" + value.serverIP + "|" + value.database +
               "|" + value.login + "|" + value.password.Text();
    });
    EXPECT_EQ(unreadable, "false ||||");
}

// The settings value round-trips all five settings; a value file that is there but damaged is reported by name
// (the others still load), while a missing one is simply empty.
TEST_F(DatabaseSettingsTest, SettingsValueLoadsAndNamesAnUnreadableValue) {
    DatabaseSettingsValue typed;
    typed.server = "db01";
    typed.serverIP = "10.0.0.5";
    typed.database = "Suite";
    typed.login = "sa";
    typed.password.Assign("pa;ss}");
    ASSERT_TRUE(SaveDatabaseSettingsValue(typed));
    DatabaseSettingsValue loaded;
    SettingsStoreError error;
    ASSERT_TRUE(LoadDatabaseSettingsValue(loaded, &error)) << error.text;
    EXPECT_TRUE(loaded == typed);

    fs::path valueFile;
    for (const auto& entry : fs::recursive_directory_iterator(m_hive.root()))
        if (entry.path().filename().string().find("DBServerIP") != std::string::npos)
            valueFile = entry.path();
    ASSERT_FALSE(valueFile.empty());
    std::ofstream(valueFile, std::ios::trunc) << "not a value";
    DatabaseSettingsValue damaged;
    EXPECT_FALSE(LoadDatabaseSettingsValue(damaged, &error));
    EXPECT_EQ(error.valueName, "DBServerIP");
    EXPECT_NE(error.code, 0u);
    EXPECT_EQ(damaged.server, "db01");
    EXPECT_EQ(damaged.serverIP, "");
    EXPECT_EQ(damaged.password.Text(), "pa;ss}");

    fs::remove(valueFile);
    EXPECT_TRUE(LoadDatabaseSettingsValue(damaged, &error));
    EXPECT_EQ(damaged.serverIP, "");
}

} // namespace

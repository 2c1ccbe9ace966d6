#include "settings/DatabaseSettings.h"

#include "cipher/Rijndael.h"
#include "common/FormatString.h"
#include "settings/VLReg.h"

#include <array>

namespace {

constexpr const char* settings_key_parent = "SOFTWARE\\Velmora";
constexpr const char* settings_key_name = "General";

// The five values in the order they are read and written. The password is the last; its stored form differs.
constexpr std::array<const char*, 5> value_names = {"DatabaseServer", "DBServerIP", "DatabaseName", "DBUserID",
                                                    "DBUserPassword"};
constexpr std::size_t password_index = 4;

// A text as the registry is given it: up to its first zero character.
CString up_to_first_zero(const CString& text) {
    return CString(text.c_str());
}

// True when text is an encrypted password text: it decrypts, and encrypting the result gives text back exactly.
// Only such a text may be stored unchanged, because every reader decrypts a stored text of 44 characters or more.
bool is_encrypted_password(CRijndael& cipher, const CString& text) {
    if (text.size() < kEncryptedPasswordMinLength)
        return false;
    const CString plain = cipher.DecryptPassword(text, kPasswordKeyRow);
    return cipher.EncryptPassword(plain, kPasswordKeyRow) == text;
}

// The stored form of the password member. A member of 44 characters or more that already is an encrypted text is
// kept as it is; any other member, however long, is encrypted (a long typed password is never stored in plain
// text, where the next load would "decrypt" it to nothing).
CString stored_password(CRijndael& cipher, const CString& password) {
    if (is_encrypted_password(cipher, password))
        return password;
    return cipher.EncryptPassword(password, kPasswordKeyRow);
}

} // namespace

CString SettingsKeyPath() {
    return FormatString("%s\\%s", settings_key_parent, settings_key_name);
}

bool LoadDatabaseSettings(CString& databaseServer, CString& dbServerIP, CString& databaseName, CString& dbUserID,
                          CString& dbUserPassword) {
    const std::array<CString*, 5> members = {&databaseServer, &dbServerIP, &databaseName, &dbUserID, &dbUserPassword};
    CVLReg reg;
    CRijndael cipher;
    const CString keyPath = SettingsKeyPath();
    CString value;
    for (std::size_t i = 0; i < value_names.size(); ++i) {
        (void)reg.ReadValue(value, keyPath, value_names[i]);
        *members[i] = value;
        value.clear();
    }
    if (dbUserPassword.size() >= kEncryptedPasswordMinLength)
        dbUserPassword = cipher.DecryptPassword(dbUserPassword, kPasswordKeyRow);
    return true;
}

bool SaveDatabaseSettingsChecked(const CString& databaseServer, const CString& dbServerIP, const CString& databaseName,
                                 const CString& dbUserID, const CString& dbUserPassword, CString* firstError) {
    const std::array<const CString*, 5> members = {&databaseServer, &dbServerIP, &databaseName, &dbUserID,
                                                   &dbUserPassword};
    CVLReg reg;
    CRijndael cipher;
    const CString keyPath = SettingsKeyPath();
    bool allWritten = true;
    for (std::size_t i = 0; i < value_names.size(); ++i) {
        const CString member = up_to_first_zero(*members[i]);
        const CString data = i == password_index ? stored_password(cipher, member) : member;
        if (!reg.WriteValue(keyPath, value_names[i], data, REG_SZ) && allWritten) {
            allWritten = false;
            if (firstError != nullptr)
                *firstError = reg.m_strLastError;
        }
    }
    return allWritten;
}

bool SaveDatabaseSettings(const CString& databaseServer, const CString& dbServerIP, const CString& databaseName,
                          const CString& dbUserID, const CString& dbUserPassword) {
    (void)SaveDatabaseSettingsChecked(databaseServer, dbServerIP, databaseName, dbUserID, dbUserPassword, nullptr);
    return true;
}

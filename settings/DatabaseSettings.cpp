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

// The stored form of the password member: always its encrypted form. What the member holds is a password, whatever
// it looks like: a generated one (openssl rand -base64 32) can be a text that decrypts and re-encrypts to itself, and
// storing that unchanged would make every reader "decrypt" it into other bytes.
CString stored_password(CRijndael& cipher, const SecretText& password) {
    return cipher.EncryptPassword(password, kPasswordKeyRow);
}

void note_error(SettingsStoreError* error, const char* valueName, const CVLReg& reg) {
    if (error == nullptr)
        return;
    error->valueName = valueName;
    error->code = reg.m_dwLastError;
    error->text = reg.m_strLastError;
}

} // namespace

CString SettingsKeyPath() {
    return FormatString("%s\\%s", settings_key_parent, settings_key_name);
}

DatabaseSettingsValue DatabaseSettingsValue::FromTexts(const CString& server, const CString& serverIP,
                                                       const CString& database, const CString& login,
                                                       const CString& password) {
    DatabaseSettingsValue value;
    value.server = server;
    value.serverIP = serverIP;
    value.database = database;
    value.login = login;
    value.password.Assign(password);
    return value;
}

void DatabaseSettingsValue::CopyTo(CString& toServer, CString& toServerIP, CString& toDatabase, CString& toLogin,
                                   CString& toPassword) const {
    toServer = server;
    toServerIP = serverIP;
    toDatabase = database;
    toLogin = login;
    toPassword = password.Text();
}

DatabaseSettingsValue DatabaseSettingsValue::Copy() const {
    return FromTexts(server, serverIP, database, login, password.Text());
}

bool LoadDatabaseSettingsValue(DatabaseSettingsValue& value, SettingsStoreError* error) {
    const std::array<CString*, 4> texts = {&value.server, &value.serverIP, &value.database, &value.login};
    CVLReg reg;
    CRijndael cipher;
    const CString keyPath = SettingsKeyPath();
    bool allRead = true;
    for (std::size_t i = 0; i < value_names.size(); ++i) {
        CString stored;
        const bool readOk = reg.ReadValue(stored, keyPath, value_names[i]);
        SecretText read{std::move(stored)}; // the password's stored form passes through it
        if (!readOk) {
            read.Clear();
            // A missing key or value is an empty setting; anything else is a value that is there but unreadable.
            if (reg.m_dwLastError != ERROR_FILE_NOT_FOUND && reg.m_dwLastError != ERROR_PATH_NOT_FOUND && allRead) {
                allRead = false;
                note_error(error, value_names[i], reg);
            }
        }
        if (i == password_index)
            value.password = read.size() >= kEncryptedPasswordMinLength
                                 ? cipher.DecryptPassword(read.Text(), kPasswordKeyRow)
                                 : std::move(read);
        else
            *texts[i] = read.Text();
    }
    return allRead;
}

bool SaveDatabaseSettingsValue(const DatabaseSettingsValue& value, SettingsStoreError* error) {
    const std::array<const CString*, 5> members = {&value.server, &value.serverIP, &value.database, &value.login,
                                                   &value.password.Text()};
    CVLReg reg;
    CRijndael cipher;
    const CString keyPath = SettingsKeyPath();
    bool allWritten = true;
    for (std::size_t i = 0; i < value_names.size(); ++i) {
        const SecretText member(up_to_first_zero(*members[i]));
        const SecretText data{i == password_index ? stored_password(cipher, member) : member.Text()};
        if (!reg.WriteValue(keyPath, value_names[i], data.Text(), REG_SZ) && allWritten) {
            allWritten = false;
            note_error(error, value_names[i], reg);
        }
    }
    return allWritten;
}

namespace {
constexpr std::array<const char*, 3> trust_value_names = {"DBCaFile", "DBTrustCert", "DBInsecureLogin"};
} // namespace

bool LoadConnectionTrust(ConnectionTrustSettings& trust, SettingsStoreError* error) {
    const std::array<CString*, 3> members = {&trust.caFile, &trust.trustCert, &trust.insecureLoginServer};
    CVLReg reg;
    const CString keyPath = SettingsKeyPath();
    bool allRead = true;
    for (std::size_t i = 0; i < trust_value_names.size(); ++i) {
        CString read;
        if (!reg.ReadValue(read, keyPath, trust_value_names[i])) {
            read.clear();
            if (reg.m_dwLastError != ERROR_FILE_NOT_FOUND && reg.m_dwLastError != ERROR_PATH_NOT_FOUND && allRead) {
                allRead = false;
                note_error(error, trust_value_names[i], reg);
            }
        }
        *members[i] = read;
    }
    return allRead;
}

bool SaveConnectionTrust(const ConnectionTrustSettings& trust, SettingsStoreError* error) {
    const std::array<const CString*, 3> members = {&trust.caFile, &trust.trustCert, &trust.insecureLoginServer};
    CVLReg reg;
    const CString keyPath = SettingsKeyPath();
    bool allWritten = true;
    for (std::size_t i = 0; i < trust_value_names.size(); ++i)
        if (!reg.WriteValue(keyPath, trust_value_names[i], up_to_first_zero(*members[i]), REG_SZ) && allWritten) {
            allWritten = false;
            note_error(error, trust_value_names[i], reg);
        }
    return allWritten;
}

// The suite's five database settings under HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\General and their load and save rules.
#pragma once

#include "common/Secret.h"
#include "common/Text.h"
#include "platform/win32/Win32.h"

// The settings key path, SOFTWARE\Velmora\General.
CString SettingsKeyPath();

// A stored "DBUserPassword" of this many characters or more is in encrypted form.
inline constexpr std::size_t kEncryptedPasswordMinLength = 44;

// The five database settings as one value. The password is the plain text (stored encrypted).
struct DatabaseSettingsValue {
    CString server;      // DatabaseServer: Database Server Name
    CString serverIP;    // DBServerIP: Database Server IP
    CString database;    // DatabaseName: Database Name
    CString login;       // DBUserID: Database Login
    SecretText password; // DBUserPassword: Database Password

    // The value holding five texts (the password copied into its secret).
    [[nodiscard]] static DatabaseSettingsValue FromTexts(const CString& server, const CString& serverIP,
                                                         const CString& database, const CString& login,
                                                         const CString& password);
    // Copies the five texts out (the password as plain text, for holders that keep it so).
    void CopyTo(CString& server, CString& serverIP, CString& database, CString& login, CString& password) const;
    [[nodiscard]] DatabaseSettingsValue Copy() const;
    friend bool operator==(const DatabaseSettingsValue&, const DatabaseSettingsValue&) = default;
};

// Why a settings value could not be read or written: the value's name, the system error code and its text.
struct SettingsStoreError {
    CString valueName;
    DWORD code = 0;
    CString text;
};

// Loads the five stored values (the password decrypted; one that does not decrypt is empty). A missing key or value
// reads as empty. Returns false when a value exists but cannot be read (access refused, not a text, a damaged
// value file), with the first such value and its reason in *error; the others are still loaded, that one is empty.
[[nodiscard]] bool LoadDatabaseSettingsValue(DatabaseSettingsValue& value, SettingsStoreError* error = nullptr);
// Stores all five values (the password in its stored, encrypted form). Every value is attempted; returns false with
// the first failing value and its reason in *error unless all five were written.
[[nodiscard]] bool SaveDatabaseSettingsValue(const DatabaseSettingsValue& value, SettingsStoreError* error = nullptr);

// How the database connection's TLS is trusted: stored beside the five settings under the same key, as values of
// their own (never changing the five), so that later runs and the dialog connect the same way. Empty values are
// the defaults (the system's CAs, no pin, no opt-out) and are stored as absent.
struct ConnectionTrustSettings {
    CString caFile;              // DBCaFile: a CA bundle or the server's own certificate (host name checked)
    CString trustCert;           // DBTrustCert: the pinned certificate's SHA-256 fingerprint (host name not checked)
    CString insecureLoginServer; // DBInsecureLogin: the one server whose login may go without a verified certificate
    friend bool operator==(const ConnectionTrustSettings&, const ConnectionTrustSettings&) = default;
};

// Reads the three values (missing ones are empty). False, with the value and reason in *error, when one exists but
// cannot be read.
[[nodiscard]] bool LoadConnectionTrust(ConnectionTrustSettings& trust, SettingsStoreError* error = nullptr);
// Writes the three values (an empty one is written empty). False with the first failing value in *error.
[[nodiscard]] bool SaveConnectionTrust(const ConnectionTrustSettings& trust, SettingsStoreError* error = nullptr);

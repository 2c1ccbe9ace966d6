#include "registration/Registration.h"

#include "cipher/Rijndael.h"
#include "common/FormatString.h"
#include "settings/DatabaseSettings.h"
#include "settings/VLReg.h"

namespace {

struct ProviderProbe {
    const char* keyPath;
    const char* provider;
};

// Newest client first: the first installed one decides.
constexpr ProviderProbe kProviderProbes[] = {
    {"SOFTWARE\\ODBC\\ODBCINST.INI\\SQL Server Native Client 11.0", "SQLNCLI11"},
    {"SOFTWARE\\ODBC\\ODBCINST.INI\\SQL Server Native Client 10.0", "SQLNCLI10"},
    {"SOFTWARE\\ODBC\\ODBCINST.INI\\SQL Native Client", "SQLNCLI"},
};
constexpr const char* kFallbackProvider = "SQLOLEDB";

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Overwrites a text that held a password before its memory is released.
void wipe(CString& text) noexcept {
    volatile char* bytes = text.data();
    for (std::size_t i = 0; i < text.size(); ++i)
        bytes[i] = 0;
    text.clear();
}

} // namespace

CString GetProviderName() {
    CVLReg reg;
    for (const ProviderProbe& probe : kProviderProbes) {
        if (reg.KeyExists(probe.keyPath))
            return probe.provider;
    }
    return kFallbackProvider;
}

CString QuoteConnectionStringValue(const CString& value) {
    const bool bare =
        value.find(';') == CString::npos && (value.empty() || (value.front() != '{' && value.front() != '"' &&
                                                               !is_blank(value.front()) && !is_blank(value.back())));
    if (bare)
        return value;
    CString quoted;
    quoted.reserve(value.size() + 2);
    quoted += '{';
    for (char c : value) {
        quoted += c;
        if (c == '}')
            quoted += '}';
    }
    quoted += '}';
    return quoted;
}

CString GetConnectionString() {
    CString result;
    CString provider;
    CString server;
    CString database;
    CString user;
    CString password;

    provider = GetProviderName();
    const CString keyPath = FormatString("%s\\%s", "SOFTWARE\\Velmora", "General");

    // A value that is missing or unreadable stays empty; the string is formatted whatever the reads gave.
    CVLReg reg;
    (void)reg.ReadValue(server, keyPath, "DatabaseServer");
    (void)reg.ReadValue(database, keyPath, "DatabaseName");
    (void)reg.ReadValue(user, keyPath, "DBUserID");
    (void)reg.ReadValue(password, keyPath, "DBUserPassword");

    if (password.size() >= kEncryptedPasswordMinLength) {
        CRijndael cipher;
        CString plain = cipher.DecryptPassword(password, kPasswordKeyRow);
        wipe(password);
        password = std::move(plain);
    }

    // Values are written as they stand; only a value that would otherwise be read back differently (a ';' in a
    // password, a leading brace or quote, blanks at either end) is quoted.
    CString quotedPassword = QuoteConnectionStringValue(password);
    result = FormatString("Provider=%s; Server=%s; Database=%s; UID=%s; PWD=%s;",
                          QuoteConnectionStringValue(provider).c_str(), QuoteConnectionStringValue(server).c_str(),
                          QuoteConnectionStringValue(database).c_str(), QuoteConnectionStringValue(user).c_str(),
                          quotedPassword.c_str());
    wipe(quotedPassword);
    wipe(password);
    return result;
}

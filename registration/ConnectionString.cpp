#include "registration/Registration.h"

#include "common/FormatString.h"
#include "platform/data/ConnectionString.h"
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

} // namespace

CString GetProviderName() {
    CVLReg reg;
    for (const ProviderProbe& probe : kProviderProbes) {
        if (reg.KeyExists(probe.keyPath))
            return probe.provider;
    }
    return kFallbackProvider;
}

namespace {

SecretText connection_string(const CString& provider, const CString& server, const CString& database,
                             const CString& user, const SecretText& password) {
    // Values are written as they stand; only a value that would otherwise be read back differently (a ';' or a brace
    // in a password, a leading quote, blanks at either end) is quoted.
    const SecretText quotedPassword(enlistor::ado::QuoteConnectionStringValue(password.Text()));
    return SecretText(FormatString("Provider=%s; Server=%s; Database=%s; UID=%s; PWD=%s;",
                                   enlistor::ado::QuoteConnectionStringValue(provider).c_str(),
                                   enlistor::ado::QuoteConnectionStringValue(server).c_str(),
                                   enlistor::ado::QuoteConnectionStringValue(database).c_str(),
                                   enlistor::ado::QuoteConnectionStringValue(user).c_str(),
                                   quotedPassword.Text().c_str()));
}

} // namespace

SecretText GetConnectionString(const DatabaseSettingsValue& settings) {
    return connection_string(GetProviderName(), settings.server, settings.database, settings.login, settings.password);
}

SecretText GetConnectionString() {
    // The stored settings by their own load rules: a value that is missing or unreadable reads as empty, and the
    // string is formatted whatever the reads gave.
    DatabaseSettingsValue stored;
    (void)LoadDatabaseSettingsValue(stored);
    return GetConnectionString(stored);
}

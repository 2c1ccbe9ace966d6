#include "registration/Registration.h"

#include "common/FormatString.h"
#include "platform/data/ConnectionString.h"
#include "platform/registry/OdbcDrivers.h"
#include "settings/DatabaseSettings.h"

CString GetProviderName() {
    using enlistor::ado::kSqlServerProviders;
    // Newest client first: the first installed one decides; the last is there on every system and is not probed.
    // A provider is installed when its driver key (SOFTWARE\ODBC\ODBCINST.INI\<driver>, the registry's view of
    // the installed drivers) exists; the drivers are listed once for all of them.
    const std::vector<std::string> installed = enlistor::registry::installed_odbc_drivers();
    for (std::size_t i = 0; i + 1 < kSqlServerProviders.size(); ++i)
        if (enlistor::registry::find_odbc_driver_name(installed, kSqlServerProviders[i].driverKey))
            return CString(kSqlServerProviders[i].provider);
    return CString(kSqlServerProviders.back().provider);
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

#include "registration/Registration.h"

#include "common/FormatString.h"
#include "res/DialogTemplate.h"
#include "res/Resource.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

namespace {

// A setting as the dialog's label names it; the CA file, which has no field, in words of its own.
CString setting_name(DataSetting setting) {
    constexpr std::pair<DataSetting, int> fields[] = {{DataSetting::Server, IDC_DATABASE_SERVER},
                                                      {DataSetting::Database, IDC_DATABASE_NAME},
                                                      {DataSetting::Login, IDC_DB_USER_ID},
                                                      {DataSetting::Password, IDC_DB_USER_PASSWORD}};
    for (const auto& [which, field] : fields)
        if (which == setting)
            return CString(FieldLabel(field));
    return setting == DataSetting::CaFile ? "The CA file's path" : "";
}

// What the driver said about a connection that could not be made, in a few words (its phrases in lower case).
const char* unreachable_reason(const CString& driverText) {
    constexpr std::pair<std::string_view, const char*> reasons[] = {
        {"connection refused", "connection refused"},
        {"no route to host", "no route to host"},
        {"network is unreachable", "network unreachable"},
        {"unavailable or does not exist", "no server answers there"},
        {"connection to the database server was lost", "the connection was lost"},
        {"communication link failure", "the connection was lost"}};
    for (const auto& [phrase, words] : reasons)
        if (std::search(driverText.begin(), driverText.end(), phrase.begin(), phrase.end(), [](char c, char p) {
                return std::tolower(static_cast<unsigned char>(c)) == p;
            }) != driverText.end())
            return words;
    return "the connection failed";
}

// The sentence before a database's own error; empty when the cause names no setting to check.
CString cause_sentence(DataErrorCause cause, const CString& server, const CString& database, const CString& login,
                       const CString& driverText) {
    const CString serverName = setting_name(DataSetting::Server);
    const CString databaseName = setting_name(DataSetting::Database);
    const CString loginName = setting_name(DataSetting::Login);
    const bool serverCause = cause == DataErrorCause::ServerUnreachable || cause == DataErrorCause::ServerTimedOut ||
                             cause == DataErrorCause::ServerUnknown || cause == DataErrorCause::DriverMissing;
    if (serverCause && server.empty())
        return FormatString("No database server is set. Check %s.", serverName.c_str());
    switch (cause) {
    case DataErrorCause::ServerUnreachable:
        return FormatString("Cannot reach the database server '%s': %s. Check %s.", server.c_str(),
                            unreachable_reason(driverText), serverName.c_str());
    case DataErrorCause::ServerTimedOut:
        return FormatString("The database server '%s' did not answer in time. Check %s and that the server is running.",
                            server.c_str(), serverName.c_str());
    case DataErrorCause::ServerUnknown:
        return FormatString("Cannot find the database server '%s': the name does not resolve. Check %s.",
                            server.c_str(), serverName.c_str());
    case DataErrorCause::LoginRefused:
        return FormatString("The database server '%s' refused the login '%s'. Check %s and %s.", server.c_str(),
                            login.c_str(), loginName.c_str(), setting_name(DataSetting::Password).c_str());
    case DataErrorCause::DatabaseMissing:
        return FormatString("The database '%s' does not exist on '%s' or cannot be opened. Check %s.", database.c_str(),
                            server.c_str(), databaseName.c_str());
    case DataErrorCause::TableMissing:
        return FormatString("The database '%s' lacks a table the registration needs. Check %s.", database.c_str(),
                            databaseName.c_str());
    case DataErrorCause::PermissionDenied:
        return FormatString("The login '%s' is not allowed to do this in the database '%s'. Check %s and its "
                            "permissions.",
                            login.c_str(), database.c_str(), loginName.c_str());
    case DataErrorCause::DriverMissing:
        return FormatString("No ODBC driver or data source is installed for the database server '%s'. Check %s and "
                            "the installed ODBC drivers.",
                            server.c_str(), serverName.c_str());
    default:
        return {};
    }
}

// The whole text of a login that was not sent: what happened and what to do. The probe's refusal (it comes without a
// SQLSTATE) holds its reason in the description; the driver's text follows the driver's refusal.
CString not_sent_text(const _com_error& e, const CString& server, const enlistor::ado::TransportReport& tls) {
    const bool byProbe = e.SqlState().empty();
    const CString facts = e.Description().value_or(CString());
    const CString driverText = byProbe ? CString() : " " + facts;
    const CString& sha = tls.certificateSha256;
    switch (e.Cause()) {
    case DataErrorCause::ServerCannotEncrypt:
        return FormatString("The database server '%s' cannot encrypt the connection, so the login was not sent. Turn "
                            "on TLS on the server, or allow this server's login without it with --insecure-login.",
                            server.c_str()) +
               driverText;
    case DataErrorCause::CertificateUntrusted:
        // The certificate's other particulars come last: a text cut to fit (the dialog's error area) keeps the
        // fingerprint and the command that pins it.
        if (byProbe)
            return FormatString("The certificate of the database server '%s' is not verified (%s), so the login was "
                                "not sent. If it is the server's certificate, pin it: enlistor register --trust-cert "
                                "%s (or give the CA that signed it with --ca-file). Its subject is \"%s\", its issuer "
                                "\"%s\", valid from %s to %s.",
                                server.c_str(), facts.c_str(), sha.c_str(), tls.subject.c_str(), tls.issuer.c_str(),
                                tls.notBefore.c_str(), tls.notAfter.c_str());
        return FormatString("The database driver did not verify the certificate of the database server '%s', so the "
                            "login was not sent. Give the CA that signed it with --ca-file, or%s.",
                            server.c_str(),
                            sha.empty() ? " pin it with --trust-cert"
                                        : (", if it is the server's certificate (SHA-256 " + sha +
                                           "), pin it: enlistor register --trust-cert " + sha)
                                              .c_str()) +
               driverText;
    default: // TlsFailed
        return FormatString("The TLS handshake with the database server '%s' failed%s, so the login was not sent. "
                            "Check %s and the server's TLS configuration%s.",
                            server.c_str(), byProbe ? (" (" + facts + ")").c_str() : "",
                            setting_name(DataSetting::Server).c_str(),
                            byProbe && !sha.empty() ? ("; its certificate is SHA-256 " + sha).c_str() : "") +
               driverText;
    }
}

} // namespace

_com_error DescribeDataError(const _com_error& error, const CString& server, const CString& database,
                             const CString& login, const enlistor::ado::TransportReport* wire) {
    const std::optional<CString> description = error.Description();
    if (!error.Source() || !description)
        return error;
    if (!DescriptionIsTheCause(error.Cause()))
        return error.WithCauseSentence(cause_sentence(error.Cause(), server, database, login, *description));
    const bool refusedSetting = error.Cause() == DataErrorCause::SettingUnusable;
    if (refusedSetting ? error.Setting() == DataSetting::None : wire == nullptr)
        return error; // a text that names itself; a driver's TLS words after the login refuse nothing
    const CString name = setting_name(error.Setting());
    const CString text =
        refusedSetting ? name + " " + *description + " Check " + name + "." : not_sent_text(error, server, *wire);
    return _com_error(error.Error(), *error.Source(), text, error.SqlState(), error.NativeError(), error.Cause(),
                      error.Setting());
}

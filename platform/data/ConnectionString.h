// The connection string the registration hands to Connection::Open, and its mapping onto an ODBC connection.
//
// Syntax: "keyword=value" parts separated by ';'. Keywords compare case-insensitively; blanks around a keyword are
// ignored. A value is taken literally up to the next ';' (blanks included), unless it starts with '{' or '"': then
// it is quoted, "{...}" with each '}' inside written "}}", or "\"...\"" with each '"' inside written "\"\"", and it
// ends at the closing quote (blanks may follow before the ';'). A later part with the same keyword replaces an
// earlier one. QuoteConnectionStringValue writes values that this parser and the ODBC drivers both read back whole.
#pragma once

#include "common/Secret.h"
#include "common/Text.h"
#include "platform/data/ComError.h"
#include "platform/data/Transport.h"

#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace enlistor::ado {

// The source the connection's errors name.
inline constexpr const char* kConnectionSource = "ADODB.Connection";

// The SQL Server providers a connection string may name, newest client first, each with the ODBC driver its probe
// key (SOFTWARE\ODBC\ODBCINST.INI\<driverKey>) names. The last, SQLOLEDB, is the one every system has.
struct SqlServerProvider {
    std::string_view provider;
    std::string_view driverKey;
};
inline constexpr std::array<SqlServerProvider, 4> kSqlServerProviders{{
    {"SQLNCLI11", "SQL Server Native Client 11.0"},
    {"SQLNCLI10", "SQL Server Native Client 10.0"},
    {"SQLNCLI", "SQL Native Client"},
    {"SQLOLEDB", "SQL Server"},
}};

class ConnectionOptions {
public:
    // Throws _com_error (0x80040E73, DB_E_BADINITSTRING) for an unterminated quote or text after a closing quote.
    static ConnectionOptions Parse(std::string_view connectionString);

    // The value of the keyword (case-insensitive), or nullopt when it is absent.
    std::optional<CString> Get(std::string_view keyword) const;
    CString GetOr(std::string_view keyword, CString fallback = {}) const;
    // Sets the keyword's value (replacing an earlier one).
    void Set(std::string_view keyword, CString value);
    // Wipes every value (the password among them) and forgets them.
    void Wipe() noexcept;
    ~ConnectionOptions() { Wipe(); }
    ConnectionOptions() = default;
    ConnectionOptions(ConnectionOptions&&) = default;
    ConnectionOptions& operator=(ConnectionOptions&&) = default;

private:
    std::vector<std::pair<CString, CString>> m_parts;
};

// The one quoting of a connection-string value, for the registration's string and for the ODBC string alike: the
// value unchanged when it can stand bare, else in braces with each '}' doubled. A value needs braces when it
// contains ';', '{' or '}', starts with '"', or starts or ends with a blank; ConnectionOptions::Parse and the ODBC
// drivers that honour "}}" read every such value back exactly (FreeTDS reads braces its own way: see MapToOdbc).
CString QuoteConnectionStringValue(std::string_view value);

// What the mapping needs to know about the machine's ODBC configuration.
struct OdbcCatalog {
    struct Driver {
        CString name;
        CString library;
    };
    struct DataSource {
        CString name;
        CString driver;
        // What odbc.ini says of where it connects and how: psqlODBC's Servername, Port, SSLmode; FreeTDS's Server,
        // Servername (a freetds.conf section), Port, Encryption.
        CString host{};
        CString port{};
        CString section{};
        CString sslMode{};
        CString encryption{};
    };
    std::vector<Driver> drivers;
    std::vector<DataSource> dataSources;
};

// How the login travels on the wire, as the mapping found it.
struct WirePlan {
    enum class Kind {
        Local,    // a file database or a Unix socket: nothing crosses the network
        Enforced, // nothing configured: the login goes only over TLS to a verified server (ProtectLogin adds how)
        Explicit, // the data source decides (its SSLmode, Encryption or freetds.conf section): honoured as it is
        OptedOut, // the operator allowed this server's login without a verified certificate: the driver's default
    };
    Kind kind = Kind::Local;
    WireProtocol protocol = WireProtocol::Postgres;
    CString host; // where the probe dials; empty when only a freetds.conf section knows
    int port = 0;
    CString setting;             // Explicit: the deciding setting as configured, e.g. "SSLMode=disable"
    bool encrypts = false;       // Explicit: that setting encrypts the login
    bool verifies = false;       // Explicit: that setting verifies the server; Enforced: the driver verifies too
    bool postgres = false;       // psqlODBC (SSLMode, sslrootcert)
    bool freeTdsSection = false; // Enforced FreeTDS host path: the connection names a generated freetds.conf section
    CString section;             // that section's name
};

// The ODBC side of one Open.
struct OdbcTarget {
    SecretText connectionString; // for SQLDriverConnect; holds the password
    CString displayString;       // the same with the password shown as "***"
    CString driverName;          // odbcinst name of the driver in use (or the DSN's driver)
    bool fileDatabase = false;   // SQLite
    CString dataSource;          // the data source's name when Server named one
    // Set when Server named a SQL Server instance ("host\instance") that the driver cannot find within the time
    // limit on its own: the caller asks the SQL Server Browser for the instance's port and then appends
    // "SERVER=<host>;PORT=<port>;" to connectionString.
    std::optional<CString> browserHost;
    CString browserInstance;
    WirePlan wire;
    // FreeTDS's host path: the host and TCP port it connects to (0: not known here, a data source or another driver).
    CString tcpHost;
    unsigned short tcpPort = 0;
};

// Maps the parsed connection string onto the catalog:
//  - Server names a data source (compared case-insensitively): DSN=name with UID and PWD; a server DSN also gets
//    DATABASE when Database is not empty; a file database (SQLite) keeps its path and gets NoCreat=1. psqlODBC
//    (PostgreSQL) reads bare values URL-encoded, so for it a value with '+' or '%' is braced as well.
//  - else Provider is SQLOLEDB, SQLNCLI, SQLNCLI10 or SQLNCLI11: the driver named like the provider's registry key
//    ("SQL Server" for SQLOLEDB, "SQL Native Client", "SQL Server Native Client 10.0/11.0"), else "ODBC Driver 18
//    for SQL Server", else "ODBC Driver 17 for SQL Server", else FreeTDS; SERVER, DATABASE, UID, PWD, and for
//    FreeTDS TDS_Version=7.4 (the login time limit only bounds a silent server with a pinned version) and PORT
//    (1433 unless Server says "host,port"; "host\instance" goes through browserHost).
// FreeTDS reads a braced value up to the first "};" and takes "}}" literally: with FreeTDS as the driver (either way)
// a value that needs braces is braced as it stands, its '}' not doubled, so "pw}x" and "pw}" arrive exactly. A value
// containing "};" (which would end it early, and could add keywords of its own) or a NUL cannot reach it intact: it
// is refused before anything is sent: _com_error 0x80040E73 with cause SettingUnusable and the setting (Setting()),
// whose description says what is wrong with the value and never quotes it.
// Throws _com_error 0x800A0E7A (provider not found) naming the provider and the Debian package to install.
// The wire (see WirePlan): a psqlODBC data source with SSLmode, a FreeTDS data source with Encryption or a Servername
// section is Explicit; insecureLogin makes the rest OptedOut; otherwise Enforced. The FreeTDS host path then names the
// section ProtectLogin writes (SERVERNAME, Encryption=require) instead of SERVER and PORT; Microsoft's drivers get
// Encrypt=yes;TrustServerCertificate=no; a FreeTDS data source Encryption=require.
OdbcTarget MapToOdbc(const ConnectionOptions& options, const OdbcCatalog& catalog, bool insecureLogin = false);

// Completes an Enforced plan once the trust is known: psqlODBC gets SSLMode=verify-full with the CA file (the
// system's bundle when trust names none) as sslrootcert, or, for a pinned certificate (written to pinnedFile),
// SSLMode=verify-ca with it. For the FreeTDS section it returns the freetds.conf text (host, port, tds version 7.4,
// encryption = require, ca file, host-name check unless pinned), which holds no secret; else "".
CString ProtectLogin(OdbcTarget& target, const TransportTrust& trust, const CString& pinnedFile);

} // namespace enlistor::ado

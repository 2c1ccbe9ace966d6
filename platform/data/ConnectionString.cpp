#include "platform/data/ConnectionString.h"

#include "platform/data/TlsProbe.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <initializer_list>
#include <strings.h>
#include <tuple>
#include <unistd.h>

namespace enlistor::ado {
namespace {

constexpr HRESULT kBadInitString = static_cast<HRESULT>(0x80040E73u);
constexpr HRESULT kProviderNotFound = static_cast<HRESULT>(0x800A0E7Au);

bool equals_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool contains_nocase(std::string_view text, std::string_view needle) {
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           }) != text.end();
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

[[noreturn]] void throw_malformed(std::string_view keyword, std::string_view what) {
    // The value itself is never quoted back: it may be a password.
    throw _com_error(kBadInitString, kConnectionSource,
                     "The connection string is malformed: " + CString(what) + " in the value of " + CString(keyword));
}

// FreeTDS's quoting: it reads a braced value up to the first "};" (or the closing '}' at the end) and takes "}}"
// literally, so a value is braced as it stands, its '}' not doubled. Only a value with "};" (refused before this)
// could not be written so.
CString quote_for_freetds(std::string_view value) {
    const CString standard = QuoteConnectionStringValue(value);
    return standard.size() == value.size() ? standard : "{" + CString(value) + "}";
}

// psqlODBC reads a bare value as URL-encoded ("+" is a blank, "%41" is "A") and a braced one as it stands (with "}}"
// for '}'): a value with '+' or '%' is braced.
CString quote_for_psqlodbc(std::string_view value) {
    const CString standard = QuoteConnectionStringValue(value);
    if (standard.size() != value.size() || value.find_first_of("+%") == std::string_view::npos)
        return standard;
    return "{" + CString(value) + "}";
}

class OdbcStringBuilder {
public:
    // FreeTDS and psqlODBC read values their own way (quote_for_freetds, quote_for_psqlodbc).
    void UseFreeTdsQuoting() { m_quoting = Quoting::FreeTds; }
    void UsePsqlOdbcQuoting() { m_quoting = Quoting::PsqlOdbc; }
    void Add(std::string_view keyword, std::string_view value, bool secret = false) {
        m_parts.emplace_back(CString(keyword), CString(value), secret);
    }
    CString Render(bool showSecrets) const {
        CString text;
        for (const auto& [keyword, value, secret] : m_parts)
            text += keyword + "=" +
                    (secret && !showSecrets           ? CString("***")
                     : m_quoting == Quoting::FreeTds  ? quote_for_freetds(value)
                     : m_quoting == Quoting::PsqlOdbc ? quote_for_psqlodbc(value)
                                                      : QuoteConnectionStringValue(value)) +
                    ";";
        return text;
    }
    ~OdbcStringBuilder() {
        for (auto& part : m_parts)
            WipeText(std::get<1>(part));
    }

private:
    enum class Quoting { Standard, FreeTds, PsqlOdbc };
    std::vector<std::tuple<CString, CString, bool>> m_parts;
    Quoting m_quoting = Quoting::Standard;
};

void add_credentials(OdbcStringBuilder& builder, const ConnectionOptions& options) {
    CString user = options.GetOr("UID");
    SecretText password(options.GetOr("PWD"));
    if (!user.empty())
        builder.Add("UID", user);
    if (!password.empty())
        builder.Add("PWD", password.Text(), true);
}

void finish(OdbcTarget& target, const OdbcStringBuilder& builder) {
    target.connectionString = SecretText(builder.Render(true));
    target.displayString = builder.Render(false);
}

// Refuses a value FreeTDS would misread (see MapToOdbc): it is never sent, and never named in the error.
void refuse_what_freetds_misreads(std::initializer_list<DataSetting> settings,
                                  std::initializer_list<const CString*> values) {
    auto setting = settings.begin();
    for (const CString* value : values) {
        const DataSetting which = *setting++;
        const bool nul = value->find('\0') != CString::npos;
        if (!nul && value->find("};") == CString::npos)
            continue;
        throw _com_error(kBadInitString, kConnectionSource,
                         CString("contains ") + (nul ? "a NUL character" : "'}' followed by ';'") +
                             ", which the FreeTDS ODBC driver cannot be given safely; nothing was sent to the server.",
                         {}, 0, DataErrorCause::SettingUnusable, which);
    }
}

// A port number as the Server value gives it after "host,"; 0 when it is none.
unsigned short parse_port(std::string_view text) {
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || (value = value * 10 + static_cast<unsigned long>(c - '0')) > 65535)
            return 0;
    }
    return static_cast<unsigned short>(value);
}

// The port a data source or the Server value names, else the protocol's default.
int port_or(std::string_view text, int fallback) {
    const unsigned short port = parse_port(trim(text));
    return port != 0 ? port : fallback;
}

bool is_mode(std::string_view value, std::initializer_list<std::string_view> modes) {
    return std::any_of(modes.begin(), modes.end(),
                       [&](std::string_view mode) { return equals_nocase(trim(value), mode); });
}

WirePlan plan_for_postgres_source(const OdbcCatalog::DataSource& source, bool insecureLogin) {
    WirePlan plan;
    plan.protocol = WireProtocol::Postgres;
    plan.postgres = true;
    plan.host = CString(trim(source.section.empty() ? source.host : source.section)); // psqlODBC: Servername
    plan.port = port_or(source.port, 5432);
    if (plan.host.empty() || plan.host.front() == '/')
        return plan; // libpq's Unix socket
    if (!trim(source.sslMode).empty()) {
        plan.kind = WirePlan::Kind::Explicit;
        plan.setting = "SSLMode=" + CString(trim(source.sslMode));
        plan.encrypts = is_mode(source.sslMode, {"require", "verify-ca", "verify-full"});
        plan.verifies = is_mode(source.sslMode, {"verify-ca", "verify-full"});
        return plan;
    }
    plan.kind = insecureLogin ? WirePlan::Kind::OptedOut : WirePlan::Kind::Enforced;
    plan.verifies = true; // libpq verifies itself with the mode ProtectLogin adds
    return plan;
}

WirePlan plan_for_freetds_source(const OdbcCatalog::DataSource& source, bool insecureLogin) {
    WirePlan plan;
    plan.protocol = WireProtocol::Tds;
    plan.host = CString(trim(source.host));
    plan.port = port_or(source.port, 1433);
    if (!trim(source.encryption).empty()) {
        plan.kind = WirePlan::Kind::Explicit;
        plan.setting = "Encryption=" + CString(trim(source.encryption));
        plan.encrypts = is_mode(source.encryption, {"require", "strict"});
        return plan;
    }
    if (plan.host.empty()) {
        plan.kind = WirePlan::Kind::Explicit;
        plan.setting = "freetds.conf section " + CString(trim(source.section.empty() ? source.name : source.section));
        return plan;
    }
    plan.kind = insecureLogin ? WirePlan::Kind::OptedOut : WirePlan::Kind::Enforced;
    return plan;
}

// A generated freetds.conf section's value: one line, none of the characters that end or comment it.
void refuse_for_section(DataSetting setting, const CString& value) {
    if (value.find_first_of(std::string_view("\r\n\0#;[]", 7)) == CString::npos)
        return;
    throw _com_error(kBadInitString, kConnectionSource,
                     "contains a character that cannot stand in the FreeTDS configuration; nothing was sent to the "
                     "server.",
                     {}, 0, DataErrorCause::SettingUnusable, setting);
}

CString next_section_name() {
    static std::atomic<unsigned> counter{0};
    return "enlistor-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

// A libpq connection-option value in single quotes (backslash and quote escaped).
CString libpq_quoted(const CString& value) {
    CString quoted = "'";
    for (char c : value) {
        if (c == '\\' || c == '\'')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "'";
}

} // namespace

ConnectionOptions ConnectionOptions::Parse(std::string_view text) {
    ConnectionOptions options;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of(";=", at);
        if (end == std::string_view::npos || text[end] == ';') {
            std::string_view stray = trim(text.substr(at, end == std::string_view::npos ? text.npos : end - at));
            if (!stray.empty())
                throw _com_error(kBadInitString, kConnectionSource,
                                 "The connection string is malformed: a part has no \"=\"");
            at = end == std::string_view::npos ? text.size() : end + 1;
            continue;
        }
        CString keyword(trim(text.substr(at, end - at)));
        at = end + 1;
        CString value;
        if (at < text.size() && (text[at] == '{' || text[at] == '"')) {
            const char close = text[at] == '{' ? '}' : '"';
            bool closed = false;
            for (++at; at < text.size(); ++at) {
                if (text[at] == close) {
                    if (at + 1 < text.size() && text[at + 1] == close) {
                        value += close;
                        ++at;
                        continue;
                    }
                    closed = true;
                    ++at;
                    break;
                }
                value += text[at];
            }
            if (!closed) {
                WipeText(value);
                throw_malformed(keyword, "an unterminated quote");
            }
            while (at < text.size() && is_blank(text[at]))
                ++at;
            if (at < text.size() && text[at] != ';') {
                WipeText(value);
                throw_malformed(keyword, "text after the closing quote");
            }
            ++at;
        } else {
            std::size_t stop = text.find(';', at);
            if (stop == std::string_view::npos)
                stop = text.size();
            value = CString(text.substr(at, stop - at));
            at = stop + 1;
        }
        options.Set(keyword, std::move(value));
    }
    return options;
}

std::optional<CString> ConnectionOptions::Get(std::string_view keyword) const {
    for (const auto& [key, value] : m_parts)
        if (equals_nocase(key, keyword))
            return value;
    return std::nullopt;
}

CString ConnectionOptions::GetOr(std::string_view keyword, CString fallback) const {
    std::optional<CString> value = Get(keyword);
    return value ? std::move(*value) : std::move(fallback);
}

void ConnectionOptions::Set(std::string_view keyword, CString value) {
    for (auto& part : m_parts)
        if (equals_nocase(part.first, keyword)) {
            WipeText(part.second);
            part.second = std::move(value);
            return;
        }
    m_parts.emplace_back(CString(keyword), std::move(value));
}

void ConnectionOptions::Wipe() noexcept {
    for (auto& part : m_parts)
        WipeText(part.second);
    m_parts.clear();
}

CString QuoteConnectionStringValue(std::string_view value) {
    const bool bare = value.find_first_of(";{}") == std::string_view::npos &&
                      (value.empty() || (value.front() != '"' && !is_blank(value.front()) && !is_blank(value.back())));
    if (bare)
        return CString(value);
    CString quoted = "{";
    for (char c : value) {
        quoted += c;
        if (c == '}')
            quoted += '}';
    }
    quoted += '}';
    return quoted;
}

OdbcTarget MapToOdbc(const ConnectionOptions& options, const OdbcCatalog& catalog, bool insecureLogin) {
    OdbcTarget target;
    OdbcStringBuilder builder;
    const CString server = options.GetOr("Server", options.GetOr("Data Source"));
    const CString database = options.GetOr("Database", options.GetOr("Initial Catalog"));

    auto dsn = std::find_if(catalog.dataSources.begin(), catalog.dataSources.end(),
                            [&](const auto& source) { return !server.empty() && equals_nocase(source.name, server); });
    if (dsn != catalog.dataSources.end()) {
        target.driverName = dsn->driver;
        target.dataSource = dsn->name;
        auto driver = std::find_if(catalog.drivers.begin(), catalog.drivers.end(),
                                   [&](const auto& d) { return equals_nocase(d.name, dsn->driver); });
        target.fileDatabase = contains_nocase(dsn->driver, "sqlite") ||
                              (driver != catalog.drivers.end() && contains_nocase(driver->library, "sqlite"));
        const bool freeTdsSource = equals_nocase(dsn->driver, "FreeTDS") ||
                                   (driver != catalog.drivers.end() && contains_nocase(driver->library, "tdsodbc"));
        const bool postgresSource = contains_nocase(dsn->driver, "postgres") ||
                                    (driver != catalog.drivers.end() && contains_nocase(driver->library, "psqlodbc"));
        if (freeTdsSource) {
            const CString user = options.GetOr("UID");
            const SecretText password(options.GetOr("PWD"));
            refuse_what_freetds_misreads({DataSetting::Database, DataSetting::Login, DataSetting::Password},
                                         {&database, &user, &password.Text()});
            builder.UseFreeTdsQuoting();
            target.wire = plan_for_freetds_source(*dsn, insecureLogin);
        } else if (postgresSource) {
            builder.UsePsqlOdbcQuoting();
            target.wire = plan_for_postgres_source(*dsn, insecureLogin);
        } else if (!target.fileDatabase) {
            target.wire.kind = WirePlan::Kind::Explicit;
            target.wire.setting = "the data source " + dsn->name + "'s own settings";
        }
        builder.Add("DSN", dsn->name);
        if (freeTdsSource && target.wire.kind == WirePlan::Kind::Enforced)
            builder.Add("Encryption", "require");
        add_credentials(builder, options);
        if (target.fileDatabase)
            builder.Add("NoCreat", "1"); // a wrong path is an error, not a new empty database
        else if (!database.empty())
            builder.Add("DATABASE", database);
        finish(target, builder);
        return target;
    }

    const CString provider = options.GetOr("Provider");
    auto sqlServer = std::find_if(kSqlServerProviders.begin(), kSqlServerProviders.end(),
                                  [&](const auto& p) { return equals_nocase(p.provider, provider); });
    if (sqlServer == kSqlServerProviders.end())
        throw _com_error(kProviderNotFound, kConnectionSource,
                         "Provider \"" + provider +
                             "\" cannot be found: it is not a SQL Server provider, and Server \"" + server +
                             "\" names no ODBC data source (define one in odbc.ini, Debian package unixodbc)",
                         {}, 0, DataErrorCause::DriverMissing);

    const std::array<std::string_view, 4> preference{sqlServer->driverKey, "ODBC Driver 18 for SQL Server",
                                                     "ODBC Driver 17 for SQL Server", "FreeTDS"};
    const OdbcCatalog::Driver* chosen = nullptr;
    for (std::string_view wanted : preference) {
        for (const auto& driver : catalog.drivers)
            if (equals_nocase(driver.name, wanted)) {
                chosen = &driver;
                break;
            }
        if (chosen != nullptr)
            break;
    }
    if (chosen == nullptr)
        throw _com_error(kProviderNotFound, kConnectionSource,
                         "Provider " + provider +
                             " cannot be found: no SQL Server ODBC driver is installed (install the Debian package "
                             "tdsodbc)",
                         {}, 0, DataErrorCause::DriverMissing);
    target.driverName = chosen->name;
    builder.Add("DRIVER", chosen->name);

    const bool freeTds = equals_nocase(chosen->name, "FreeTDS") || contains_nocase(chosen->library, "tdsodbc");
    if (freeTds) {
        const CString user = options.GetOr("UID");
        const SecretText password(options.GetOr("PWD"));
        refuse_what_freetds_misreads(
            {DataSetting::Server, DataSetting::Database, DataSetting::Login, DataSetting::Password},
            {&server, &database, &user, &password.Text()});
        builder.UseFreeTdsQuoting();
    }
    target.wire.kind = insecureLogin ? WirePlan::Kind::OptedOut : WirePlan::Kind::Enforced;
    target.wire.protocol = WireProtocol::Tds;
    // FreeTDS reads "tcp:host" as a host name, has no default port, and waits on the SQL Server Browser longer than
    // the login limit: strip the prefix, pass the port, and leave instances to the browser lookup.
    std::string_view host = server;
    if (host.size() > 4 && equals_nocase(host.substr(0, 4), "tcp:"))
        host.remove_prefix(4);
    if (std::size_t slash = host.find('\\'); slash != std::string_view::npos) {
        target.wire.host = CString(host.substr(0, slash));
    } else if (std::size_t comma = host.find(','); comma != std::string_view::npos) {
        target.wire.host = CString(trim(host.substr(0, comma)));
        target.wire.port = port_or(host.substr(comma + 1), 0);
    } else {
        target.wire.host = CString(host);
        target.wire.port = 1433;
    }
    if (!freeTds) {
        builder.Add("SERVER", server);
        if (target.wire.kind == WirePlan::Kind::Enforced) {
            builder.Add("Encrypt", "yes");
            builder.Add("TrustServerCertificate", "no");
            target.wire.verifies = true;
        }
    } else if (target.wire.kind == WirePlan::Kind::Enforced) {
        // The host path reads no freetds.conf of the operator's: it names a generated section that requires
        // encryption and verifies the certificate (ProtectLogin), and the connection string requires encryption
        // too, so a section that went missing cannot fall back to a login in the clear.
        refuse_for_section(DataSetting::Server, target.wire.host);
        if (std::size_t slash = host.find('\\'); slash != std::string_view::npos) {
            target.browserHost = CString(host.substr(0, slash));
            target.browserInstance = CString(host.substr(slash + 1));
        }
        target.tcpHost = target.wire.host;
        target.tcpPort = static_cast<unsigned short>(target.wire.port);
        target.wire.freeTdsSection = true;
        target.wire.verifies = true;
        target.wire.section = next_section_name();
        builder.Add("SERVERNAME", target.wire.section);
        builder.Add("Encryption", "require");
    } else {
        if (std::size_t slash = host.find('\\'); slash != std::string_view::npos) {
            target.browserHost = CString(host.substr(0, slash));
            target.browserInstance = CString(host.substr(slash + 1));
        } else if (std::size_t comma = host.find(','); comma != std::string_view::npos) {
            builder.Add("SERVER", trim(host.substr(0, comma)));
            builder.Add("PORT", trim(host.substr(comma + 1)));
            target.tcpHost = CString(trim(host.substr(0, comma)));
            target.tcpPort = parse_port(trim(host.substr(comma + 1)));
        } else {
            builder.Add("SERVER", host);
            builder.Add("PORT", "1433");
            target.tcpHost = CString(host);
            target.tcpPort = 1433;
        }
        builder.Add("TDS_Version", "7.4");
    }
    if (!database.empty())
        builder.Add("DATABASE", database);
    add_credentials(builder, options);
    finish(target, builder);
    return target;
}

} // namespace enlistor::ado

namespace enlistor::ado {

CString ProtectLogin(OdbcTarget& target, const TransportTrust& trust, const CString& pinnedFile) {
    if (target.wire.kind != WirePlan::Kind::Enforced)
        return {};
    const bool pinned = !trust.pinSha256.empty();
    const CString root = pinned ? pinnedFile : trust.caFile.empty() ? SystemCaBundle() : trust.caFile;
    if (target.wire.postgres) {
        const CString added = CString("SSLMode=") + (pinned ? "verify-ca" : "verify-full") +
                              ";pqopt=" + quote_for_psqlodbc("sslrootcert=" + libpq_quoted(root)) + ";";
        target.connectionString.Append(added);
        target.displayString += added;
        return {};
    }
    if (!target.wire.freeTdsSection)
        return {};
    refuse_for_section(DataSetting::CaFile, root);
    return "[" + target.wire.section + "]\n\thost = " + target.wire.host +
           "\n\tport = " + std::to_string(target.wire.port) +
           "\n\ttds version = 7.4\n\tencryption = require\n\tca file = " + root +
           "\n\tcheck certificate hostname = " + (pinned ? "no" : "yes") + "\n";
}

} // namespace enlistor::ado

#include "platform/data/Ado.h"

#include "platform/data/ConnectionString.h"
#include "platform/data/LoginProtection.h"
#include "platform/data/Odbc.h"
#include "platform/data/SqlServerBrowser.h"
#include "platform/data/TcpProbe.h"
#include "platform/data/WideText.h"

#include "common/Secret.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <new>
#include <optional>

namespace enlistor::ado {
namespace {

// The codes ADO raises for calls made in the wrong state (they have no system message).
constexpr HRESULT kObjectClosed = static_cast<HRESULT>(0x800A0E78u);
constexpr HRESULT kObjectOpen = static_cast<HRESULT>(0x800A0E79u);
constexpr const char* kObjectClosedText = "Operation is not allowed when the object is closed.";
constexpr const char* kObjectOpenText = "Operation is not allowed when the object is open.";
constexpr HRESULT kConnectionUnusable = static_cast<HRESULT>(0x800A0E7Du);
const CString kRecordsetSource = "ADODB.Recordset";

// The instance lookup gets at most this share of the login limit.
constexpr std::chrono::seconds kBrowserBudget{5};
// The second try that names why a server could not be reached.
constexpr std::chrono::seconds kProbeBudget{1};

constexpr HRESULT kBadInitString = static_cast<HRESULT>(0x80040E73u);

// The refusal of a text not valid in the process's character set (nothing is sent): what, or the setting, names it.
[[noreturn]] void refuse_not_text(const CString& what, const CString& source, DataSetting setting = DataSetting::None) {
    const CString facts = "is not valid text in this system's character set (" + wide::ProcessCharset() +
                          "); nothing was sent to the database server.";
    throw _com_error(kBadInitString, source, setting == DataSetting::None ? what + " " + facts : facts, {}, 0,
                     DataErrorCause::SettingUnusable, setting);
}

// The text as UTF-16 for a wide call, or the refusal naming what is not valid text.
wide::WideText to_wide_or_refuse(std::string_view text, const CString& what, const CString& source) {
    std::optional<wide::WideText> converted = wide::ToWide(text);
    if (!converted)
        refuse_not_text(what, source);
    return std::move(*converted);
}

// Binds each text as one wide character input parameter (SQL_C_WCHAR); the buffers must outlive the execution.
void bind_parameters(const odbc::StmtHandle& stmt, const std::vector<wide::WideText>& parameters,
                     std::vector<SQLLEN>& lengths, const CString& source) {
    lengths.resize(parameters.size());
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        lengths[i] = static_cast<SQLLEN>(parameters[i].size() * sizeof(SQLWCHAR));
        odbc::Check(SQLBindParameter(stmt.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                                     SQL_WVARCHAR, std::max<SQLULEN>(parameters[i].size(), 1), 0,
                                     const_cast<SQLWCHAR*>(parameters[i].data()), lengths[i], &lengths[i]),
                    SQL_HANDLE_STMT, stmt.get(), source, "Binding a parameter");
    }
}

// Runs the statement; SQL_NO_DATA (a statement that touched no row) is a success.
void execute(const odbc::StmtHandle& stmt, const CString& text, const std::vector<CString>& parameters,
             const CString& source) {
    wide::WideText statement = to_wide_or_refuse(text, "The statement", source);
    std::vector<wide::WideText> values;
    for (const CString& parameter : parameters)
        values.push_back(
            to_wide_or_refuse(parameter, "A value of the statement (the address or the computer name)", source));
    // Not every driver offers a statement time limit (HYC00): it is applied where it is supported.
    SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(kCommandTimeoutSeconds), 0);
    std::vector<SQLLEN> lengths;
    bind_parameters(stmt, values, lengths, source);
    odbc::Check(SQLExecDirectW(stmt.get(), statement.data(), static_cast<SQLINTEGER>(statement.size())),
                SQL_HANDLE_STMT, stmt.get(), source, "Running the statement", {}, true);
}

} // namespace

// One ODBC connection; shared with the recordsets opened on it, so that its handles outlive their statements. A
// connection that closes first frees the statements still open on it (their recordsets read as closed), as the
// driver manager would otherwise free them behind the recordsets' backs.
struct Session {
    std::shared_ptr<odbc::EnvHandle> env; // declared first: freed after the connection handle
    odbc::DbcHandle dbc;
    bool connected = false;
    CString source; // "ODBC driver <name>": the error source for everything the driver reports
    std::vector<std::weak_ptr<odbc::StmtHandle>> statements;

    void FreeStatements() noexcept {
        for (auto& weak : statements)
            if (std::shared_ptr<odbc::StmtHandle> stmt = weak.lock())
                stmt->reset();
        statements.clear();
    }
    ~Session() {
        FreeStatements();
        if (connected)
            SQLDisconnect(dbc.get());
    }
};

// A statement's error on a connection the driver has found dead (the server dropped it after the login) is a lost
// connection, whatever the driver called it: FreeTDS reports the first statement on it as HY000 "Unknown error".
_com_error with_lost_connection(const _com_error& e, const Session& session) {
    if (e.Cause() != DataErrorCause::Other || !session.dbc)
        return e;
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (!SQL_SUCCEEDED(SQLGetConnectAttr(session.dbc.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) ||
        dead != SQL_CD_TRUE)
        return e;
    return _com_error(e.Error(), e.Source().value_or(session.source),
                      e.Description().value_or("") + "; the connection to the database server was lost", e.SqlState(),
                      e.NativeError(), DataErrorCause::ServerUnreachable);
}

class ConnectionImpl {
public:
    std::shared_ptr<odbc::EnvHandle> env; // allocated when the object is created
    std::shared_ptr<Session> session;
    CString mapped;
    CString driverName;
    TransportTrust trust;
    TransportReport transport;

    bool IsOpen() const { return session && session->connected; }
};

class RecordsetImpl {
public:
    std::shared_ptr<Session> session; // declared first: the statement is freed before the connection it runs on
    std::shared_ptr<odbc::StmtHandle> stmt;
    bool eof = true;

    bool IsOpen() const { return stmt && *stmt; }
};

Connection::Connection() = default;
Connection::~Connection() {
    Release();
}

HRESULT Connection::CreateInstance() {
    Release();
    try {
        auto impl = std::make_unique<ConnectionImpl>();
        impl->env = std::make_shared<odbc::EnvHandle>(odbc::NewEnvironment());
        m_impl = std::move(impl);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const _com_error& e) {
        return e.Error();
    }
}

void Connection::Release() noexcept {
    m_impl.reset();
}

namespace {

// What the mapping needs to know of the machine's ODBC configuration. When Server names a data source, that one
// source and its driver's library are all that is read; the drivers are listed only when it names none.
OdbcCatalog read_catalog(const odbc::EnvHandle& env, const CString& server) {
    OdbcCatalog catalog;
    if (std::optional<odbc::DataSourceInfo> source = odbc::FindDataSource(env, server)) {
        catalog.drivers.push_back({source->driver, odbc::DriverAttribute(source->driver, "Driver")});
        OdbcCatalog::DataSource found{std::move(source->name), std::move(source->driver)};
        std::vector<CString> attributes =
            odbc::DataSourceAttributes(found.name, {"Servername", "Server", "Port", "SSLmode", "Encryption"});
        found.section = std::move(attributes[0]);
        found.host = std::move(attributes[1]);
        found.port = std::move(attributes[2]);
        found.sslMode = std::move(attributes[3]);
        found.encryption = std::move(attributes[4]);
        catalog.dataSources.push_back(std::move(found));
        return catalog;
    }
    for (auto& driver : odbc::ListDrivers(env))
        catalog.drivers.push_back({std::move(driver.name), std::move(driver.library)});
    return catalog;
}

// Asks the SQL Server Browser for the instance's port and points the connection at the address that answered (the
// generated freetds.conf section at the port, keeping the host name its certificate is checked against).
void resolve_instance(OdbcTarget& target, const CString& source) {
    const SqlServerInstance instance =
        LookupSqlServerInstance(*target.browserHost, target.browserInstance, kBrowserBudget, source);
    if (target.wire.freeTdsSection) {
        target.wire.port = instance.port;
        target.tcpHost = target.wire.host;
        target.tcpPort = instance.port;
        return;
    }
    const CString server =
        "SERVER=" + QuoteConnectionStringValue(instance.address) + ";PORT=" + std::to_string(instance.port) + ";";
    target.connectionString.Append(server);
    target.displayString += server;
    target.tcpHost = instance.address;
    target.tcpPort = instance.port;
}

// The login limit, less what the instance lookup already used.
void apply_login_limit(const odbc::DbcHandle& dbc, std::chrono::steady_clock::time_point started) {
    const auto spent = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    const SQLULEN loginTimeout = static_cast<SQLULEN>(std::max<long long>(1, kLoginTimeoutSeconds - spent.count()));
    SQLSetConnectAttr(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(loginTimeout), 0);
}

// What is left of the login limit for the TLS probe: at most a third of it, so that the driver keeps the rest.
std::chrono::milliseconds login_budget(std::chrono::steady_clock::time_point started) {
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    const auto left = std::chrono::milliseconds(kLoginTimeoutSeconds * 1000) - spent;
    return std::max(std::chrono::milliseconds(1000), std::min(left, std::chrono::milliseconds(5000)));
}

// Connects; the driver's error names a missing SQLite file, which the driver itself reports as "connect failed". A
// refusal of the server's TLS names the server's certificate, read then when it was not read before the login.
void connect(Session& session, const OdbcTarget& target, const SecretText& secret, PreparedLogin& prepared,
             std::chrono::steady_clock::time_point started) {
    // The settings were checked to be valid text (check_settings_text): the string made of them converts.
    std::optional<wide::WideText> text = wide::ToWide(target.connectionString.Text());
    if (!text)
        refuse_not_text("The connection string", session.source);
    const FreeTdsConfScope conf(prepared.freeTdsConf);
    const SQLRETURN rc =
        SQLDriverConnectW(session.dbc.get(), nullptr, text->data(), static_cast<SQLSMALLINT>(text->size()), nullptr, 0,
                          nullptr, SQL_DRIVER_NOPROMPT);
    wide::Wipe(*text);
    if (SQL_SUCCEEDED(rc)) {
        session.connected = true;
        return;
    }
    _com_error error = odbc::MakeError(odbc::ReadDiagnostics(SQL_HANDLE_DBC, session.dbc.get()), session.source,
                                       "Connecting", secret.Text());
    DescribeRefusedServer(error.Cause(), login_budget(started), prepared);
    if (error.Cause() == DataErrorCause::ServerUnreachable && target.tcpPort != 0) {
        // FreeTDS words a refused port like a missing server: one more try names what happened.
        const CString reason = ProbeTcpRefusal(target.tcpHost, target.tcpPort, kProbeBudget);
        if (!reason.empty())
            error = _com_error(error.Error(), *error.Source(),
                               *error.Description() + "; connecting to " + target.tcpHost + " port " +
                                   std::to_string(target.tcpPort) + " again: " + reason,
                               error.SqlState(), error.NativeError(), error.Cause());
    }
    if (target.fileDatabase) {
        const CString file = odbc::DataSourceAttribute(target.dataSource, "Database");
        std::error_code ignored;
        if (!file.empty() && !std::filesystem::exists(file, ignored))
            error = _com_error(error.Error(), *error.Source(),
                               *error.Description() + "; the database file " + file + " does not exist",
                               error.SqlState(), error.NativeError(), DataErrorCause::DatabaseMissing);
    }
    throw error;
}

// Refuses, before anything is sent, a setting that is not valid text in the process's character set.
void check_settings_text(const ConnectionOptions& options) {
    static constexpr std::pair<const char*, DataSetting> kSettings[] = {{"Server", DataSetting::Server},
                                                                        {"Database", DataSetting::Database},
                                                                        {"UID", DataSetting::Login},
                                                                        {"PWD", DataSetting::Password}};
    for (const auto& [keyword, setting] : kSettings) {
        const SecretText value(options.GetOr(keyword)); // the password among them
        std::optional<wide::WideText> text = wide::ToWide(value.Text());
        if (!text)
            refuse_not_text({}, kConnectionSource, setting);
        wide::Wipe(*text);
    }
}

void open_session(ConnectionImpl& impl, ConnectionOptions& options, const SecretText& secret,
                  std::chrono::steady_clock::time_point started) {
    auto session = std::make_shared<Session>();
    session->env = impl.env;
    check_settings_text(options);
    OdbcTarget target = MapToOdbc(options, read_catalog(*impl.env, options.GetOr("Server")), impl.trust.insecureLogin);
    options.Wipe();
    session->source = "ODBC driver " + target.driverName;
    impl.mapped = target.displayString;
    impl.driverName = target.driverName;

    if (target.browserHost)
        resolve_instance(target, session->source);

    PreparedLogin prepared;
    try {
        PrepareLogin(target, impl.trust, login_budget(started), prepared);
    } catch (...) {
        impl.transport = prepared.report;
        throw;
    }
    impl.transport = prepared.report;
    impl.mapped = target.displayString;

    session->dbc = odbc::NewConnection(*session->env);
    apply_login_limit(session->dbc, started);
    try {
        connect(*session, target, secret, prepared, started);
    } catch (...) {
        impl.transport = prepared.report;
        throw;
    }
    if (prepared.verifiedByDriver) {
        impl.transport.encrypted = true;
        impl.transport.verified = true;
        impl.transport.by = prepared.pinned ? "pin" : "ca";
    }
    impl.session = std::move(session);
}

} // namespace

void Connection::Open(const CString& connectionString, const CString& userId, const CString& password, long) {
    if (!m_impl)
        throw _com_error(E_POINTER);
    if (m_impl->IsOpen())
        throw _com_error(kObjectOpen, kConnectionSource, kObjectOpenText);

    const auto started = std::chrono::steady_clock::now();
    m_impl->transport = {};
    ConnectionOptions options = ConnectionOptions::Parse(connectionString);
    const SecretText secret(password.empty() ? options.GetOr("PWD") : password);
    if (!userId.empty())
        options.Set("UID", userId);
    if (!password.empty())
        options.Set("PWD", password);

    open_session(*m_impl, options, secret, started);
}

void Connection::Execute(const CString& commandText, const std::vector<CString>& parameters, long,
                         long* recordsAffected) {
    if (!m_impl)
        throw _com_error(E_POINTER);
    if (!m_impl->IsOpen())
        throw _com_error(kObjectClosed, kConnectionSource, kObjectClosedText);
    try {
        odbc::StmtHandle stmt = odbc::NewStatement(m_impl->session->dbc, m_impl->session->source);
        execute(stmt, commandText, parameters, m_impl->session->source);
        if (recordsAffected != nullptr) {
            SQLLEN rows = 0;
            odbc::Check(SQLRowCount(stmt.get(), &rows), SQL_HANDLE_STMT, stmt.get(), m_impl->session->source,
                        "Counting the rows");
            *recordsAffected = static_cast<long>(std::max<SQLLEN>(rows, 0));
        }
    } catch (const _com_error& e) {
        throw with_lost_connection(e, *m_impl->session);
    }
}

long Connection::GetState() {
    if (!m_impl)
        throw _com_error(E_POINTER);
    return m_impl->IsOpen() ? adStateOpen : adStateClosed;
}

void Connection::Close() {
    if (!m_impl)
        throw _com_error(E_POINTER);
    if (!m_impl->IsOpen())
        throw _com_error(kObjectClosed, kConnectionSource, kObjectClosedText);
    std::shared_ptr<Session> session = std::move(m_impl->session);
    session->FreeStatements();
    session->connected = false;
    try {
        odbc::Check(SQLDisconnect(session->dbc.get()), SQL_HANDLE_DBC, session->dbc.get(), session->source,
                    "Disconnecting");
    } catch (const _com_error& e) {
        throw with_lost_connection(e, *session);
    }
}

CString Connection::MappedConnectionString() const {
    return m_impl ? m_impl->mapped : CString();
}
CString Connection::DriverName() const {
    return m_impl ? m_impl->driverName : CString();
}
void Connection::SetTransportTrust(const TransportTrust& trust) {
    if (!m_impl)
        throw _com_error(E_POINTER);
    m_impl->trust = trust;
}
TransportReport Connection::Transport() const {
    return m_impl ? m_impl->transport : TransportReport();
}

Recordset::Recordset() = default;
Recordset::~Recordset() {
    Release();
}

HRESULT Recordset::CreateInstance() {
    Release();
    m_impl.reset(new (std::nothrow) RecordsetImpl);
    return m_impl ? S_OK : E_OUTOFMEMORY;
}

void Recordset::Release() noexcept {
    m_impl.reset();
}

void Recordset::Open(const CString& source, const std::vector<CString>& parameters, Connection& activeConnection, int,
                     int, long) {
    if (!m_impl)
        throw _com_error(E_POINTER);
    if (m_impl->IsOpen())
        throw _com_error(kObjectOpen, kRecordsetSource, kObjectOpenText);
    if (!activeConnection.m_impl || !activeConnection.m_impl->IsOpen())
        throw _com_error(kConnectionUnusable, kRecordsetSource,
                         "The connection cannot be used to perform this operation. It is either closed or invalid in "
                         "this context.");

    std::shared_ptr<Session> session = activeConnection.m_impl->session;
    odbc::StmtHandle stmt;
    bool eof = true;
    try {
        stmt = odbc::NewStatement(session->dbc, session->source);
        execute(stmt, source, parameters, session->source);
        // Positioned on the first row: EOF is whether there is one. A statement without a result set has no rows.
        SQLSMALLINT columns = 0;
        odbc::Check(SQLNumResultCols(stmt.get(), &columns), SQL_HANDLE_STMT, stmt.get(), session->source,
                    "Reading the result");
        if (columns > 0)
            eof = odbc::Check(SQLFetch(stmt.get()), SQL_HANDLE_STMT, stmt.get(), session->source, "Fetching a row", {},
                              true) == SQL_NO_DATA;
    } catch (const _com_error& e) {
        throw with_lost_connection(e, *session);
    }
    auto owned = std::make_shared<odbc::StmtHandle>(std::move(stmt));
    session->statements.erase(std::remove_if(session->statements.begin(), session->statements.end(),
                                             [](const auto& weak) { return weak.expired(); }),
                              session->statements.end());
    session->statements.push_back(owned);
    m_impl->session = std::move(session);
    m_impl->stmt = std::move(owned);
    m_impl->eof = eof;
}

bool Recordset::IsEOF() {
    if (!m_impl)
        throw _com_error(E_POINTER);
    if (!m_impl->IsOpen())
        throw _com_error(kObjectClosed, kRecordsetSource, kObjectClosedText);
    return m_impl->eof;
}

void Recordset::Close() {
    if (!m_impl)
        throw _com_error(E_POINTER);
    if (!m_impl->IsOpen())
        throw _com_error(kObjectClosed, kRecordsetSource, kObjectClosedText);
    m_impl->stmt.reset();
    m_impl->session.reset();
    m_impl->eof = true;
}

} // namespace enlistor::ado

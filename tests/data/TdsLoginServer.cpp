#include "tests/data/TdsLoginServer.h"

#include "tests/data/TdsTls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace enlistor::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Packet types.
constexpr std::uint8_t kSqlBatch = 0x01;
constexpr std::uint8_t kRpc = 0x03;
constexpr std::uint8_t kReply = 0x04;
constexpr std::uint8_t kAttention = 0x06;
constexpr std::uint8_t kLogin7 = 0x10;
constexpr std::uint8_t kPrelogin = 0x12;
constexpr std::uint8_t kEndOfMessage = 0x01;
// The PRELOGIN ENCRYPTION values.
constexpr std::uint8_t kEncryptOff = 0x00;
constexpr std::uint8_t kEncryptOn = 0x01;
constexpr std::uint8_t kEncryptNotSupported = 0x02;

// Tokens.
constexpr std::uint8_t kReturnStatus = 0x79;
constexpr std::uint8_t kColMetadata = 0x81;
constexpr std::uint8_t kError = 0xAA;
constexpr std::uint8_t kReturnValue = 0xAC;
constexpr std::uint8_t kLoginAck = 0xAD;
constexpr std::uint8_t kRow = 0xD1;
constexpr std::uint8_t kEnvChange = 0xE3;
constexpr std::uint8_t kDone = 0xFD;
constexpr std::uint8_t kDoneProc = 0xFE;
constexpr std::uint8_t kDoneInProc = 0xFF;

constexpr std::uint16_t kDoneMore = 0x0001;
constexpr std::uint16_t kDoneError = 0x0002;
constexpr std::uint16_t kDoneCount = 0x0010;
constexpr std::uint16_t kDoneAttention = 0x0020;

// The well-known procedure ids of an RPC request that names its procedure by number.
constexpr std::uint16_t kSpExecuteSql = 10;
constexpr std::uint16_t kSpExecute = 12;
constexpr std::uint16_t kSpPrepExec = 13;

// Latin1_General_CI_AS: LCID 0x0409, flags, sort id 52.
constexpr std::uint8_t kCollation[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};

std::uint16_t load16_le(const Bytes& data, std::size_t at) {
    return at + 1 < data.size() ? static_cast<std::uint16_t>(data[at] | (data[at + 1] << 8)) : 0;
}

std::uint32_t load32_le(const Bytes& data, std::size_t at) {
    return at + 3 < data.size() ? static_cast<std::uint32_t>(load16_le(data, at) | (load16_le(data, at + 2) << 16)) : 0;
}

void append_utf8(std::string& text, unsigned code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16 little-endian (surrogate pairs joined) as UTF-8.
std::string from_utf16(const std::uint8_t* data, std::size_t bytes) {
    std::string text;
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        unsigned code = static_cast<unsigned>(data[i] | (data[i + 1] << 8));
        if (code >= 0xD800 && code < 0xDC00 && i + 3 < bytes) {
            const unsigned low = static_cast<unsigned>(data[i + 2] | (data[i + 3] << 8));
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        append_utf8(text, code);
    }
    return text;
}

// ISO-8859-1 (what a VARCHAR of this server's collation carries, for the characters the tests use) as UTF-8.
std::string from_latin1(const std::uint8_t* data, std::size_t bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes; ++i)
        append_utf8(text, data[i]);
    return text;
}

// UTF-8 as UTF-16 little-endian.
Bytes to_utf16(const std::string& text) {
    Bytes out;
    auto put = [&](unsigned unit) {
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        unsigned code = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra && i + static_cast<std::size_t>(k) < text.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0x3F);
        i += static_cast<std::size_t>(extra) + 1;
        if (code >= 0x10000) {
            put(0xD800 + ((code - 0x10000) >> 10));
            put(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            put(code);
        }
    }
    return out;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// One TDS message (its packets joined); false at end of stream. type receives the packet type.
bool read_message(TdsServerChannel& channel, std::uint8_t& type, Bytes& payload) {
    payload.clear();
    for (;;) {
        std::uint8_t header[8];
        if (!channel.ReadExactly(header, sizeof header))
            return false;
        type = header[0];
        const std::size_t length = static_cast<std::size_t>(header[2] << 8 | header[3]); // big-endian
        if (length < 8)
            return false;
        const std::size_t at = payload.size();
        payload.resize(at + length - 8);
        if (!channel.ReadExactly(payload.data() + at, length - 8))
            return false;
        if (header[1] & kEndOfMessage)
            return true;
    }
}

// Sends the payload as reply packets of at most 4096 bytes (the default packet size).
void send_message(TdsServerChannel& channel, const Bytes& payload) {
    constexpr std::size_t kRoom = 4096 - 8;
    std::size_t at = 0;
    std::uint8_t packetId = 1;
    do {
        const std::size_t size = std::min(kRoom, payload.size() - at);
        const bool last = at + size == payload.size();
        const std::size_t length = size + 8;
        Bytes packet{kReply,
                     static_cast<std::uint8_t>(last ? kEndOfMessage : 0),
                     static_cast<std::uint8_t>(length >> 8),
                     static_cast<std::uint8_t>(length & 0xFF),
                     0,
                     0,
                     packetId++,
                     0};
        packet.insert(packet.end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
                      payload.begin() + static_cast<std::ptrdiff_t>(at + size));
        (void)channel.Write(packet.data(), packet.size());
        at += size;
    } while (at < payload.size());
}

// The token stream of one reply.
class Tokens {
public:
    void u8(unsigned v) { m_bytes.push_back(static_cast<std::uint8_t>(v)); }
    void u16(unsigned v) {
        u8(v & 0xFF);
        u8((v >> 8) & 0xFF);
    }
    void u32(std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    void raw(const Bytes& bytes) { m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end()); }
    // B_VARCHAR: a character count in one byte, then UTF-16.
    void b_varchar(const std::string& text) {
        const Bytes utf16 = to_utf16(text);
        u8(static_cast<unsigned>(utf16.size() / 2));
        raw(utf16);
    }
    // US_VARCHAR: a character count in two bytes, then UTF-16.
    void us_varchar(const std::string& text) {
        const Bytes utf16 = to_utf16(text);
        u16(static_cast<unsigned>(utf16.size() / 2));
        raw(utf16);
    }
    // A token with a two-byte length: body writes its contents.
    template <typename Body>
    void sized(std::uint8_t token, Body body) {
        u8(token);
        const std::size_t at = m_bytes.size();
        u16(0);
        body();
        const std::size_t length = m_bytes.size() - at - 2;
        m_bytes[at] = static_cast<std::uint8_t>(length & 0xFF);
        m_bytes[at + 1] = static_cast<std::uint8_t>(length >> 8);
    }
    void done(std::uint8_t token, std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
        u8(token);
        u16(status);
        u16(command);
        u64(rows);
    }
    void error(const TdsLoginServer::ServerError& e) {
        sized(kError, [&] {
            u32(static_cast<std::uint32_t>(e.number));
            u8(static_cast<unsigned>(e.state));
            u8(static_cast<unsigned>(e.severity));
            us_varchar(e.text);
            b_varchar("STANDIN");
            b_varchar("");
            u32(1);
        });
    }
    const Bytes& bytes() const { return m_bytes; }

private:
    Bytes m_bytes;
};

// The ENCRYPTION option a PRELOGIN payload asks for (ENCRYPT_NOT_SUP when it has none).
std::uint8_t encryption_asked(const Bytes& prelogin) {
    for (std::size_t at = 0; at + 5 <= prelogin.size() && prelogin[at] != 0xFF; at += 5) {
        const std::size_t offset = static_cast<std::size_t>(prelogin[at + 1] << 8 | prelogin[at + 2]);
        if (prelogin[at] == 0x01 && offset < prelogin.size())
            return prelogin[offset];
    }
    return kEncryptNotSupported;
}

void send_prelogin_reply(TdsServerChannel& channel, std::uint8_t encryption) {
    // VERSION (token 0) and ENCRYPTION (token 1), offsets from the payload's start.
    send_message(channel, {0x00, 0x00, 11, 0x00, 6, 0x01, 0x00, 17, 0x00, 1, 0xFF, 0x10, 0x00, 0x07, 0xD0, 0x00, 0x00,
                           encryption});
}

// A UCS-2 string of LOGIN7 as UTF-8; the password's bytes are de-obfuscated first (XOR 0xA5, then the nibbles
// swapped back).
std::string login_field(const Bytes& login, std::size_t entry, bool password = false) {
    const std::size_t offset = load16_le(login, entry);
    const std::size_t characters = load16_le(login, entry + 2);
    if (offset + 2 * characters > login.size())
        return {};
    Bytes raw(login.begin() + static_cast<std::ptrdiff_t>(offset),
              login.begin() + static_cast<std::ptrdiff_t>(offset + 2 * characters));
    if (password)
        for (std::uint8_t& b : raw) {
            b ^= 0xA5;
            b = static_cast<std::uint8_t>((b << 4) | (b >> 4));
        }
    return from_utf16(raw.data(), raw.size());
}

// A request's parameter or statement text: the decoded value of one RPC parameter.
struct Parameter {
    std::string name;
    std::optional<std::string> text; // character values (nullopt: NULL or not a character type)
    std::optional<std::int64_t> number;
};

// Reads RPC parameters of the types drivers send for statements: the character types (VARCHAR, NVARCHAR, CHAR,
// NCHAR, also as PLP "max" values), TEXT/NTEXT and the integers. Stops at anything else.
class ParameterReader {
public:
    ParameterReader(const Bytes& data, std::size_t at) : m_data(data), m_at(at) {}

    std::optional<Parameter> next() {
        if (m_at >= m_data.size())
            return std::nullopt;
        Parameter p;
        const std::size_t nameLength = byte();
        p.name = from_utf16(ptr(), std::min(2 * nameLength, left()));
        m_at += 2 * nameLength;
        byte(); // status flags
        const std::uint8_t type = byte();
        switch (type) {
        case 0xE7: // NVARCHAR
        case 0xEF: // NCHAR
        case 0xA7: // VARCHAR
        case 0xAF: // CHAR
        {
            const bool wide = type == 0xE7 || type == 0xEF;
            const std::uint16_t maxLength = u16();
            m_at += 5; // collation
            Bytes value;
            bool null = false;
            if (maxLength == 0xFFFF) {
                const std::uint64_t total = u32() | (static_cast<std::uint64_t>(u32()) << 32);
                null = total == 0xFFFFFFFFFFFFFFFFull;
                for (std::uint32_t chunk = null ? 0 : u32(); chunk != 0 && !null; chunk = u32()) {
                    value.insert(value.end(), ptr(), ptr() + std::min<std::size_t>(chunk, left()));
                    m_at += chunk;
                }
            } else {
                const std::uint16_t length = u16();
                null = length == 0xFFFF;
                if (!null) {
                    value.assign(ptr(), ptr() + std::min<std::size_t>(length, left()));
                    m_at += length;
                }
            }
            if (!null)
                p.text = wide ? from_utf16(value.data(), value.size()) : from_latin1(value.data(), value.size());
            return p;
        }
        case 0x63: // NTEXT
        case 0x23: // TEXT
        {
            m_at += 4 + 5; // maximum length, collation
            const std::uint32_t length = u32();
            if (length != 0xFFFFFFFFu) {
                const std::size_t size = std::min<std::size_t>(length, left());
                p.text = type == 0x63 ? from_utf16(ptr(), size) : from_latin1(ptr(), size);
                m_at += length;
            }
            return p;
        }
        case 0x26: // INTN
        {
            byte(); // maximum length
            const std::uint8_t length = byte();
            std::int64_t value = 0;
            for (unsigned i = 0; i < length; ++i)
                value |= static_cast<std::int64_t>(byte()) << (8 * i);
            if (length == 4)
                value = static_cast<std::int32_t>(value);
            if (length != 0)
                p.number = value;
            return p;
        }
        case 0x38: // INT4
            p.number = static_cast<std::int32_t>(u32());
            return p;
        default:
            m_at = m_data.size();
            return std::nullopt;
        }
    }

private:
    std::size_t left() const { return m_at < m_data.size() ? m_data.size() - m_at : 0; }
    const std::uint8_t* ptr() const { return m_data.data() + std::min(m_at, m_data.size()); }
    std::uint8_t byte() { return m_at < m_data.size() ? m_data[m_at++] : 0; }
    std::uint16_t u16() {
        const std::uint16_t v = load16_le(m_data, m_at);
        m_at += 2;
        return v;
    }
    std::uint32_t u32() {
        const std::uint32_t v = load32_le(m_data, m_at);
        m_at += 4;
        return v;
    }

    const Bytes& m_data;
    std::size_t m_at;
};

// The length of the ALL_HEADERS block that starts batches and RPC requests (TDS 7.2 and later).
std::size_t skip_headers(const Bytes& payload) {
    const std::uint32_t total = load32_le(payload, 0);
    return total >= 4 && total <= payload.size() ? total : 0;
}

} // namespace

struct TdsLoginServer::State {
    Options options;
    int fd = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    mutable std::mutex mutex;
    int connections = 0;
    std::vector<Login> logins;
    std::map<Step, Answer> answers;
    std::vector<std::string> servers;
    std::vector<Row> registered;
    std::vector<std::string> parameters;
    std::map<std::int32_t, std::string> prepared; // sp_prepexec handles and their statements
    std::int32_t nextHandle = 1;
    std::thread acceptor;
    std::vector<std::thread> clients;
    std::vector<int> clientFds;

    std::optional<Answer> answer_for(Step step) {
        std::lock_guard lock(mutex);
        auto found = answers.find(step);
        return found == answers.end() ? std::nullopt : std::optional<Answer>(found->second);
    }

    // Runs one statement against the tables and appends its result tokens; false when the connection is to be
    // dropped. inProc: the statement runs inside an RPC call (its DONE is a DONEINPROC).
    bool run_statement(const std::string& sql, const std::vector<std::string>& values, Tokens& out, bool inProc) {
        const std::string text = lower(sql);
        const bool select = text.find("select") != std::string::npos;
        const bool insert = text.find("insert") != std::string::npos;
        const bool remove = text.find("delete") != std::string::npos;
        const bool registeredTable = text.find("tblregisteredservers") != std::string::npos;
        const bool serversTable = !registeredTable && text.find("tblservers") != std::string::npos;
        std::optional<Step> step;
        if (select && registeredTable)
            step = Step::CheckRegistered;
        else if (select && serversTable)
            step = Step::CheckServers;
        else if (insert && registeredTable)
            step = Step::Insert;
        else if (remove && registeredTable)
            step = Step::Delete;
        const std::uint8_t doneToken = inProc ? kDoneInProc : kDone;
        const std::uint16_t more = inProc ? kDoneMore : 0;

        if (step) {
            if (std::optional<Answer> answer = answer_for(*step)) {
                if (answer->drop)
                    return false;
                for (const ServerError& e : answer->errors)
                    out.error(e);
                out.done(doneToken, static_cast<std::uint16_t>(kDoneError | more), 0, 0);
                return true;
            }
        }
        auto value = [&](std::size_t i) { return i < values.size() ? values[i] : std::string(); };
        std::lock_guard lock(mutex);
        if (step == Step::CheckRegistered || step == Step::CheckServers) {
            std::vector<std::string> found;
            if (step == Step::CheckServers) {
                std::copy_if(servers.begin(), servers.end(), std::back_inserter(found),
                             [&](const std::string& ip) { return ip == value(0); });
            } else {
                for (const Row& row : registered)
                    if (row.ip == value(0))
                        found.push_back(row.ip);
            }
            out.u8(kColMetadata);
            out.u16(1);
            out.u32(0);      // user type
            out.u16(0x0009); // nullable, updatable unknown
            out.u8(0xE7);    // NVARCHAR(255)
            out.u16(510);
            out.raw(Bytes(std::begin(kCollation), std::end(kCollation)));
            out.b_varchar("ServerIP");
            for (const std::string& ip : found) {
                const Bytes utf16 = to_utf16(ip);
                out.u8(kRow);
                out.u16(static_cast<unsigned>(utf16.size()));
                out.raw(utf16);
            }
            out.done(doneToken, static_cast<std::uint16_t>(kDoneCount | more), 0xC1, found.size());
        } else if (step == Step::Insert) {
            registered.push_back(Row{value(0), value(1), "Windows"});
            out.done(doneToken, static_cast<std::uint16_t>(kDoneCount | more), 0xC3, 1);
        } else if (step == Step::Delete) {
            const auto before = registered.size();
            std::erase_if(registered, [&](const Row& row) { return row.ip == value(0) && row.name == value(1); });
            out.done(doneToken, static_cast<std::uint16_t>(kDoneCount | more), 0xC4, before - registered.size());
        } else {
            out.done(doneToken, more, 0, 0); // SET options and the like: accepted
        }
        return true;
    }

    // An RPC request: the statement and its values from the call's parameters, as each procedure takes them.
    bool run_rpc(const Bytes& payload, Tokens& out) {
        std::size_t at = skip_headers(payload);
        std::uint16_t procId = 0;
        const std::uint16_t nameLength = load16_le(payload, at);
        at += 2;
        if (nameLength == 0xFFFF) {
            procId = load16_le(payload, at);
            at += 2;
        } else {
            const std::string name =
                lower(from_utf16(payload.data() + at, std::min<std::size_t>(2 * nameLength, payload.size() - at)));
            at += 2 * nameLength;
            procId = name == "sp_executesql" ? kSpExecuteSql
                     : name == "sp_prepexec" ? kSpPrepExec
                     : name == "sp_execute"  ? kSpExecute
                                             : 0;
        }
        at += 2; // option flags
        std::vector<Parameter> params;
        ParameterReader reader(payload, at);
        while (std::optional<Parameter> p = reader.next())
            params.push_back(std::move(*p));

        std::string sql;
        std::size_t firstValue = 0;
        std::optional<std::int32_t> newHandle;
        if (procId == kSpExecuteSql && !params.empty()) {
            sql = params[0].text.value_or("");
            firstValue = 2;
        } else if (procId == kSpPrepExec && params.size() >= 3) {
            sql = params[2].text.value_or("");
            firstValue = 3;
            std::lock_guard lock(mutex);
            newHandle = nextHandle++;
            prepared[*newHandle] = sql;
        } else if (procId == kSpExecute && !params.empty()) {
            std::lock_guard lock(mutex);
            sql = prepared[static_cast<std::int32_t>(params[0].number.value_or(0))];
            firstValue = 1;
        } else {
            firstValue = params.size(); // sp_unprepare and the rest: nothing to run
        }
        std::vector<std::string> values;
        for (std::size_t i = firstValue; i < params.size(); ++i)
            values.push_back(params[i].text.value_or(params[i].number ? std::to_string(*params[i].number) : ""));
        {
            std::lock_guard lock(mutex);
            parameters.insert(parameters.end(), values.begin(), values.end());
        }
        if (!sql.empty() && !run_statement(sql, values, out, true))
            return false;
        if (newHandle) {
            out.u8(kReturnValue);
            out.u16(0);               // ordinal
            out.b_varchar("@handle"); // parameter name
            out.u8(0x01);             // output parameter
            out.u32(0);               // user type
            out.u16(0);               // flags
            out.u8(0x26);             // INTN(4)
            out.u8(4);
            out.u8(4);
            out.u32(static_cast<std::uint32_t>(*newHandle));
        }
        out.u8(kReturnStatus);
        out.u32(0);
        out.done(kDoneProc, 0, 0, 0);
        return true;
    }

    void login_accepted(const Login& login, Tokens& out) {
        out.sized(kEnvChange, [&] {
            out.u8(1); // database
            out.b_varchar(login.database.empty() ? "master" : login.database);
            out.b_varchar("master");
        });
        out.sized(kEnvChange, [&] {
            out.u8(7); // SQL collation
            out.u8(5);
            out.raw(Bytes(std::begin(kCollation), std::end(kCollation)));
            out.u8(0);
        });
        out.sized(kEnvChange, [&] {
            out.u8(4); // packet size
            out.b_varchar("4096");
            out.b_varchar("4096");
        });
        out.sized(kLoginAck, [&] {
            out.u8(1);                         // SQL interface
            out.raw({0x74, 0x00, 0x00, 0x04}); // TDS 7.4
            out.b_varchar("Microsoft SQL Server");
            out.raw({16, 0, 0x03, 0xE8}); // 16.0.1000
        });
        out.done(kDone, 0, 0, 0);
    }

    void serve(int fd) {
        TdsServerChannel client(fd);
        std::uint8_t type = 0;
        Bytes payload;
        if (!read_message(client, type, payload) || type != kPrelogin)
            return;
        // With a certificate: ENCRYPT_ON for a client that asks for it, else ENCRYPT_OFF (TLS for the login alone).
        const std::uint8_t asked = encryption_asked(payload);
        const bool tls = !options.certFile.empty() && asked != kEncryptNotSupported;
        const std::uint8_t offer = !tls ? kEncryptNotSupported : asked == kEncryptOff ? kEncryptOff : kEncryptOn;
        send_prelogin_reply(client, offer);
        if (tls && !client.StartTls(options.certFile, options.keyFile))
            return;
        if (!read_message(client, type, payload) || type != kLogin7)
            return;
        // The offset/length table starts at byte 36: host name, user name, password, application name, server
        // name, extension, client library, language, database.
        const Login login{login_field(payload, 40), login_field(payload, 44, true), login_field(payload, 68),
                          client.encrypted()};
        if (offer == kEncryptOff)
            client.StopTls();
        {
            std::lock_guard lock(mutex);
            logins.push_back(login);
        }
        Tokens reply;
        if (std::optional<Answer> answer = answer_for(Step::Login)) {
            if (answer->drop)
                return;
            for (const ServerError& e : answer->errors)
                reply.error(e);
            reply.done(kDone, kDoneError, 0, 0);
            send_message(client, reply.bytes());
            return;
        }
        login_accepted(login, reply);
        send_message(client, reply.bytes());

        while (!stop && read_message(client, type, payload)) {
            Tokens out;
            if (type == kSqlBatch) {
                const std::size_t at = skip_headers(payload);
                if (!run_statement(from_utf16(payload.data() + at, payload.size() - at), {}, out, false))
                    return;
            } else if (type == kRpc) {
                if (!run_rpc(payload, out))
                    return;
            } else if (type == kAttention) {
                out.done(kDone, kDoneAttention, 0, 0);
            } else {
                return;
            }
            send_message(client, out.bytes());
        }
    }
};

TdsLoginServer::TdsLoginServer(Options options) : m_state(std::make_shared<State>()) {
    m_state->options = std::move(options);
    m_state->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, m_state->options.address.c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("TdsLoginServer: not an IPv4 address: " + m_state->options.address);
    socklen_t size = sizeof address;
    if (m_state->fd < 0 || ::bind(m_state->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_state->fd, 8) != 0 || ::getsockname(m_state->fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("TdsLoginServer: cannot listen on " + m_state->options.address);
    m_state->port = ntohs(address.sin_port);
    m_state->acceptor = std::thread([state = m_state] {
        while (!state->stop) {
            pollfd pfd{state->fd, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0)
                continue;
            const int client = ::accept4(state->fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            std::lock_guard lock(state->mutex);
            ++state->connections;
            state->clientFds.push_back(client);
            state->clients.emplace_back([state, client] {
                state->serve(client);
                ::shutdown(client, SHUT_RDWR);
            });
        }
    });
}

TdsLoginServer::~TdsLoginServer() {
    m_state->stop = true;
    m_state->acceptor.join(); // no client is added after this
    for (int client : m_state->clientFds)
        ::shutdown(client, SHUT_RDWR); // a client still connected stops waiting
    for (std::thread& client : m_state->clients)
        client.join();
    for (int client : m_state->clientFds)
        ::close(client);
    ::close(m_state->fd);
}

int TdsLoginServer::port() const {
    return m_state->port;
}

int TdsLoginServer::connections() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->connections;
}

std::vector<TdsLoginServer::Login> TdsLoginServer::logins() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->logins;
}

void TdsLoginServer::SetAnswer(Step step, Answer answer) {
    std::lock_guard lock(m_state->mutex);
    m_state->answers[step] = std::move(answer);
}

void TdsLoginServer::AddServer(const std::string& ip) {
    std::lock_guard lock(m_state->mutex);
    m_state->servers.push_back(ip);
}

void TdsLoginServer::AddRegistered(const Row& row) {
    std::lock_guard lock(m_state->mutex);
    m_state->registered.push_back(row);
}

std::vector<TdsLoginServer::Row> TdsLoginServer::Registered() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->registered;
}

std::vector<std::string> TdsLoginServer::Parameters() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->parameters;
}

} // namespace enlistor::test

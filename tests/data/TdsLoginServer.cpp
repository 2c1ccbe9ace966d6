#include "tests/data/TdsLoginServer.h"

#include "tests/data/TdsTls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace enlistor::test {
namespace {

constexpr std::uint8_t kPrelogin = 0x12;
constexpr std::uint8_t kLogin7 = 0x10;
constexpr std::uint8_t kReply = 0x04;
constexpr std::uint8_t kEndOfMessage = 0x01;

std::uint16_t load16_le(const std::vector<std::uint8_t>& data, std::size_t at) {
    return at + 1 < data.size() ? static_cast<std::uint16_t>(data[at] | (data[at + 1] << 8)) : 0;
}

// One TDS message (its packets joined); false at end of stream. type receives the packet type.
bool read_message(TdsServerChannel& channel, std::uint8_t& type, std::vector<std::uint8_t>& payload) {
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

// The ENCRYPTION option of a PRELOGIN payload (ENCRYPT_NOT_SUP when it has none).
std::uint8_t encryption_asked(const std::vector<std::uint8_t>& prelogin) {
    for (std::size_t at = 0; at + 5 <= prelogin.size() && prelogin[at] != 0xFF; at += 5) {
        const std::size_t offset = static_cast<std::size_t>(prelogin[at + 1] << 8 | prelogin[at + 2]);
        if (prelogin[at] == 0x01 && offset < prelogin.size())
            return prelogin[offset];
    }
    return 0x02;
}

void send_prelogin_reply(TdsServerChannel& channel, std::uint8_t encryption) {
    // VERSION (token 0) and ENCRYPTION (token 1), offsets from the payload's start.
    const std::uint8_t payload[] = {0x00, 0x00, 11,   0x00, 6,    0x01, 0x00, 17,   0x00,
                                    1,    0xFF, 0x10, 0x00, 0x07, 0xD0, 0x00, 0x00, encryption};
    std::vector<std::uint8_t> packet{kReply, kEndOfMessage, 0, static_cast<std::uint8_t>(8 + sizeof payload), 0, 0, 1,
                                     0};
    packet.insert(packet.end(), std::begin(payload), std::end(payload));
    (void)channel.Write(packet.data(), packet.size());
}

// A UCS-2 little-endian string of LOGIN7 as UTF-8; the password's bytes are de-obfuscated first (XOR 0xA5, then
// the nibbles swapped back).
std::string field(const std::vector<std::uint8_t>& login, std::size_t entry, bool password = false) {
    const std::size_t offset = load16_le(login, entry);
    const std::size_t characters = load16_le(login, entry + 2);
    std::string text;
    for (std::size_t i = 0; i < characters && offset + 2 * i + 1 < login.size(); ++i) {
        std::uint8_t low = login[offset + 2 * i];
        std::uint8_t high = login[offset + 2 * i + 1];
        if (password) {
            low ^= 0xA5;
            high ^= 0xA5;
            low = static_cast<std::uint8_t>((low << 4) | (low >> 4));
            high = static_cast<std::uint8_t>((high << 4) | (high >> 4));
        }
        const unsigned code = static_cast<unsigned>(low | (high << 8));
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
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
    std::thread thread;

    void serve(int client) {
        TdsServerChannel channel(client);
        std::uint8_t type = 0;
        std::vector<std::uint8_t> payload;
        if (read_message(channel, type, payload) && type == kPrelogin) {
            // With a certificate: ENCRYPT_ON for a client that asks for it, else ENCRYPT_OFF (the login alone).
            const std::uint8_t asked = encryption_asked(payload);
            const bool tls = !options.certFile.empty() && asked != 0x02;
            send_prelogin_reply(channel, tls ? (asked == 0x00 ? 0x00 : 0x01) : 0x02);
            if (tls && !channel.StartTls(options.certFile, options.keyFile)) {
                ::close(client);
                return;
            }
            if (read_message(channel, type, payload) && type == kLogin7) {
                // The offset/length table starts at byte 36: host name, user name, password, application name,
                // server name, extension, client library, language, database.
                Login login{field(payload, 40), field(payload, 44, true), field(payload, 68), channel.encrypted()};
                std::lock_guard lock(mutex);
                logins.push_back(std::move(login));
            }
        }
        ::close(client);
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
    m_state->thread = std::thread([state = m_state] {
        while (!state->stop) {
            pollfd pfd{state->fd, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0)
                continue;
            const int client = ::accept4(state->fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            {
                std::lock_guard lock(state->mutex);
                ++state->connections;
            }
            state->serve(client);
        }
    });
}

TdsLoginServer::~TdsLoginServer() {
    m_state->stop = true;
    m_state->thread.join();
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

} // namespace enlistor::test

#include "platform/data/SqlServerBrowser.h"

#include "platform/data/ComError.h"
#include "platform/registry/HiveKeys.h" // unique_fd

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace enlistor::ado {
namespace {

using enlistor::registry::unique_fd;

// One address of the host, asked over a connected socket (so that an ICMP "port unreachable" comes back as
// ECONNREFUSED instead of a silent wait).
struct Peer {
    unique_fd socket;
    CString address;
    bool refused = false;
};

CString numeric_address(const addrinfo& info) {
    char text[NI_MAXHOST] = {};
    if (getnameinfo(info.ai_addr, info.ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        return {};
    return CString(text);
}

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const noexcept { freeaddrinfo(info); }
};

[[noreturn]] void fail(const CString& source, const CString& description,
                       DataErrorCause cause = DataErrorCause::ServerUnreachable) {
    throw _com_error(E_FAIL, source, description, "08001", 0, cause);
}

} // namespace

unsigned short ParseBrowserResponse(const unsigned char* data, std::size_t size) {
    if (size < 3 || data[0] != 0x05)
        return 0;
    std::size_t length = static_cast<std::size_t>(data[1]) | (static_cast<std::size_t>(data[2]) << 8);
    length = std::min(length, size - 3);
    std::string_view text(reinterpret_cast<const char*>(data + 3), length);
    std::vector<std::string_view> tokens;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t end = text.find(';', at);
        if (end == std::string_view::npos)
            end = text.size();
        tokens.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    for (std::size_t i = 0; i + 1 < tokens.size(); i += 2) {
        if (tokens[i].size() == 3 && strncasecmp(tokens[i].data(), "tcp", 3) == 0) {
            unsigned long port = 0;
            for (char c : tokens[i + 1]) {
                if (c < '0' || c > '9')
                    return 0;
                port = port * 10 + static_cast<unsigned long>(c - '0');
                if (port > 65535)
                    return 0;
            }
            return static_cast<unsigned short>(port);
        }
    }
    return 0;
}

SqlServerInstance LookupSqlServerInstance(const CString& host, const CString& instance,
                                          std::chrono::milliseconds budget, const CString& source) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + budget;
    const CString where = "the SQL Server Browser on " + host + " (UDP port 1434) for instance " + instance;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* raw = nullptr;
    if (int rc = getaddrinfo(host.c_str(), std::to_string(kSqlServerBrowserPort).c_str(), &hints, &raw); rc != 0)
        fail(source, "The SQL Server host \"" + host + "\" could not be resolved: " + gai_strerror(rc),
             DataErrorCause::ServerUnknown);
    std::unique_ptr<addrinfo, AddrInfoDeleter> addresses(raw);

    std::vector<Peer> peers;
    CString lastFailure;
    for (const addrinfo* info = raw; info != nullptr; info = info->ai_next) {
        unique_fd socket(::socket(info->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (socket.get() < 0 || ::connect(socket.get(), info->ai_addr, info->ai_addrlen) != 0) {
            lastFailure = std::strerror(errno);
            continue;
        }
        peers.push_back(Peer{std::move(socket), numeric_address(*info)});
    }
    if (peers.empty())
        fail(source, "Could not reach " + where + ": " + lastFailure);

    CString request(1, '\x04'); // CLNT_UCAST_INST: the instance name, zero-terminated
    request += instance;
    request += '\0';

    std::vector<unsigned char> response(65535 + 3);
    std::vector<pollfd> waiting;
    auto nextSend = Clock::now();
    for (;;) {
        const bool allRefused = std::all_of(peers.begin(), peers.end(), [](const Peer& p) { return p.refused; });
        if (allRefused)
            fail(source, "No SQL Server Browser is running: " + where + " refused the request");
        const auto now = Clock::now();
        if (now >= deadline)
            fail(source,
                 "No answer from " + where + " within " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(budget).count()) + " s",
                 DataErrorCause::ServerTimedOut);
        if (now >= nextSend) {
            for (Peer& peer : peers)
                if (!peer.refused && ::send(peer.socket.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) {
                    if (errno != ECONNREFUSED)
                        lastFailure = std::strerror(errno);
                    peer.refused = true;
                }
            nextSend = now + std::chrono::seconds(1);
            continue;
        }
        waiting.clear();
        std::vector<Peer*> asked;
        for (Peer& peer : peers)
            if (!peer.refused) {
                waiting.push_back(pollfd{peer.socket.get(), POLLIN, 0});
                asked.push_back(&peer);
            }
        const auto wait = std::min(deadline, nextSend) - Clock::now();
        const int ready = ::poll(waiting.data(), waiting.size(),
                                 static_cast<int>(std::max<long long>(
                                     0, std::chrono::duration_cast<std::chrono::milliseconds>(wait).count() + 1)));
        if (ready < 0 && errno != EINTR)
            fail(source, "Could not reach " + where + ": " + std::strerror(errno));
        if (ready <= 0)
            continue;
        // In the resolver's order: of two answers that arrived together, the earlier address wins.
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            if (waiting[i].revents == 0)
                continue;
            Peer& peer = *asked[i];
            const ssize_t received = ::recv(peer.socket.get(), response.data(), response.size(), MSG_DONTWAIT);
            if (received < 0) {
                if (errno != EINTR && errno != EAGAIN) {
                    if (errno != ECONNREFUSED)
                        lastFailure = std::strerror(errno);
                    peer.refused = true;
                    peer.socket.reset();
                }
                continue;
            }
            if (received < 3 || response[0] != 0x05)
                continue; // not a browser answer; keep waiting within the budget
            const unsigned short port = ParseBrowserResponse(response.data(), static_cast<std::size_t>(received));
            if (port == 0)
                fail(source, "The SQL Server instance " + instance + " on " + host +
                                 " does not accept TCP connections (or is unknown to its SQL Server Browser)");
            return SqlServerInstance{peer.address.empty() ? host : peer.address, port};
        }
    }
}

} // namespace enlistor::ado

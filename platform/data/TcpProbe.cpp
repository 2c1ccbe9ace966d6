#include "platform/data/TcpProbe.h"
#include "platform/registry/HiveKeys.h" // unique_fd

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

namespace enlistor::ado {
namespace {

using enlistor::registry::unique_fd;

struct AddressList {
    addrinfo* list = nullptr;
    ~AddressList() {
        if (list != nullptr)
            freeaddrinfo(list);
    }
};

// The errno of one non-blocking connection attempt: 0 when it connected, ETIMEDOUT when the time ran out.
int try_connect(const addrinfo& address, std::chrono::milliseconds wait) {
    unique_fd socket(
        ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol));
    if (socket.get() < 0)
        return errno;
    if (::connect(socket.get(), address.ai_addr, address.ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd pfd{socket.get(), POLLOUT, 0};
    if (::poll(&pfd, 1, static_cast<int>(wait.count())) <= 0)
        return ETIMEDOUT;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error;
}

} // namespace

CString ProbeTcpRefusal(const CString& host, unsigned short port, std::chrono::milliseconds budget) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddressList addresses;
    if (host.empty() || getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses.list) != 0)
        return {};
    const auto deadline = std::chrono::steady_clock::now() + budget;
    CString reason;
    for (const addrinfo* at = addresses.list; at != nullptr; at = at->ai_next) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        switch (try_connect(*at, left)) {
        case 0:
            return {}; // something listens: the driver's words stand
        case ECONNREFUSED:
            reason = "connection refused";
            break;
        case EHOSTUNREACH:
            if (reason.empty())
                reason = "no route to host";
            break;
        case ENETUNREACH:
            if (reason.empty())
                reason = "network is unreachable";
            break;
        default:
            return {};
        }
    }
    return reason;
}

} // namespace enlistor::ado

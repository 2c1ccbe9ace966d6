#include "platform/net/AddressText.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

// IPv6 text is inet_ntop's: lowercase hexadecimal, leading zeros dropped, the longest run of two or more zero
// groups written "::", IPv4-mapped and IPv4-compatible addresses with a dotted tail. The zone follows as
// "%<scope id>" when the address carries one, as Windows Sockets writes it.
int WSAAddressToStringA(const UnicastAddress& address, LPSTR lpszAddressString, LPDWORD lpdwAddressStringLength) {
    if (!lpszAddressString || !lpdwAddressStringLength) {
        SetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    char text[INET6_ADDRSTRLEN + 16] = {};
    if (address.family == WS_AF_INET) {
        if (!inet_ntop(AF_INET, address.bytes.data(), text, sizeof(text))) {
            SetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
    } else if (address.family == WS_AF_INET6) {
        if (!inet_ntop(AF_INET6, address.bytes.data(), text, sizeof(text))) {
            SetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
        if (address.scopeId != 0) {
            const std::size_t used = std::strlen(text);
            std::snprintf(text + used, sizeof(text) - used, "%%%lu", static_cast<unsigned long>(address.scopeId));
        }
    } else {
        SetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    const auto needed = static_cast<DWORD>(std::strlen(text) + 1);
    if (*lpdwAddressStringLength < needed) {
        *lpdwAddressStringLength = needed;
        SetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::memcpy(lpszAddressString, text, needed);
    *lpdwAddressStringLength = needed;
    return 0;
}

#include "platform/net/AddressText.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

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

RegistrableAddress CheckRegistrableAddress(std::string_view text) {
    RegistrableAddress result;
    const std::string literal(text.substr(0, text.find('%')));
    in_addr v4{};
    in6_addr v6{};
    if (literal.find('\0') != std::string::npos) {
        result.refusal = "is no IPv4 or IPv6 address literal";
        return result;
    }
    bool isV4 = inet_pton(AF_INET, literal.c_str(), &v4) == 1;
    if (!isV4 && inet_pton(AF_INET6, literal.c_str(), &v6) != 1) {
        result.refusal = "is no IPv4 or IPv6 address literal";
        return result;
    }
    result.literal = true;
    if (!isV4 && IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::memcpy(&v4, &v6.s6_addr[12], sizeof(v4));
        isV4 = true;
    }
    if (isV4) {
        const std::uint32_t a = ntohl(v4.s_addr);
        if ((a >> 24) == 0)
            result.refusal = "is an unspecified address";
        else if ((a >> 24) == 127)
            result.refusal = "is a loopback address";
        else if ((a >> 16) == 0xa9fe)
            result.refusal = "is a link-local address";
        else if ((a >> 28) == 0xe)
            result.refusal = "is a multicast address";
        else if (a == 0xffffffffu)
            result.refusal = "is the broadcast address";
    } else if (IN6_IS_ADDR_UNSPECIFIED(&v6)) {
        result.refusal = "is an unspecified address";
    } else if (IN6_IS_ADDR_LOOPBACK(&v6)) {
        result.refusal = "is a loopback address";
    } else if (IN6_IS_ADDR_LINKLOCAL(&v6)) {
        result.refusal = "is a link-local address";
    } else if (IN6_IS_ADDR_MULTICAST(&v6)) {
        result.refusal = "is a multicast address";
    }
    if (result.refusal != nullptr)
        return result;
    char canonical[INET6_ADDRSTRLEN] = {};
    const bool written = isV4 ? inet_ntop(AF_INET, &v4, canonical, sizeof(canonical)) != nullptr
                              : inet_ntop(AF_INET6, &v6, canonical, sizeof(canonical)) != nullptr;
    if (written)
        result.text = std::string(canonical);
    else
        result.refusal = "is no IPv4 or IPv6 address literal";
    return result;
}

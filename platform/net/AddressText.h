// Address text as Windows Sockets writes it (the stand-in for WSAAddressToStringA).
#pragma once

#include "platform/net/NetworkAdapters.h"
#include "platform/win32/Win32.h"

#include <optional>
#include <string>
#include <string_view>

inline constexpr int SOCKET_ERROR = -1;
inline constexpr LONG WSAEFAULT = 10014;
inline constexpr LONG WSAEINVAL = 10022;

// Writes the address as text into lpszAddressString (*lpdwAddressStringLength bytes, terminator included): dotted
// decimal for IPv4; for IPv6 the colon-hexadecimal form, followed by "%<scope id>" when the address carries a zone.
// Returns 0 and sets *lpdwAddressStringLength to the length written, terminator included. Returns SOCKET_ERROR with
// last error WSAEFAULT and the length needed when the buffer is too small (the buffer is then untouched), WSAEINVAL
// for an unknown family or a null argument.
int WSAAddressToStringA(const UnicastAddress& address, LPSTR lpszAddressString, LPDWORD lpdwAddressStringLength);

// An address given to register (or look for) in place of the one the rules pick.
struct RegistrableAddress {
    std::optional<std::string> text; // the canonical text; nothing when refused
    bool literal = false;            // the text is an IPv4 or IPv6 address literal
    const char* refusal = nullptr;   // why it was refused: it is no literal, or no machine is reachable there
};

// The canonical text of an address literal that can name this machine to the suite, as WSAAddressToStringA writes it,
// without a zone ("2001:DB8:0::1%eth0" gives "2001:db8::1"; a host name, IPv4 in other forms than four decimal parts
// without leading zeros, a prefix or blanks are no literal). An IPv4-mapped IPv6 address
// becomes its IPv4 text ("::ffff:192.0.2.7" is "192.0.2.7", the same row); refused are the unspecified addresses
// (0.0.0.0/8, ::), loopback (127.0.0.0/8, ::1), link-local (169.254.0.0/16, fe80::/10: meaningless without this
// machine's zone), multicast (224.0.0.0/4, ff00::/8) and the broadcast address 255.255.255.255.
[[nodiscard]] RegistrableAddress CheckRegistrableAddress(std::string_view text);

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

// The canonical text of an IPv4 or IPv6 address literal, as WSAAddressToStringA writes the address, without a zone:
// "2001:DB8:0::1" gives "2001:db8::1". A "%zone" suffix is cut as the address selection cuts it. Nothing for any
// other text: host names, IPv4 in other forms than four decimal parts without leading zeros, prefixes, blanks.
[[nodiscard]] std::optional<std::string> CanonicalAddressText(std::string_view text);

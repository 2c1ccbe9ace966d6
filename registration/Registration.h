// Entering this machine into the suite's server list.
#pragma once

#include "common/Text.h"
#include "platform/data/ComError.h"

#include <cstddef>

// Size of the error-text area the Register command hands to RegisterMachine.
inline constexpr std::size_t kErrorTextSize = 512;

// The provider name of the newest installed SQL Server client driver ("SQLNCLI11", "SQLNCLI10", "SQLNCLI"), else
// "SQLOLEDB".
CString GetProviderName();
// "Provider=%s; Server=%s; Database=%s; UID=%s; PWD=%s;" from the stored settings, the password decrypted.
CString GetConnectionString();
// The machine's address text: the first IPv4 address of a statically configured adapter of a qualifying type, else
// the first such IPv6 address, else the empty text.
CString GetLocalIPAddress();
// "%s Error %ld%s%s": source, HRESULT, description, system message.
CString GetComErrorText(const _com_error& e);
// Registers the machine. Returns 1 (registered, or already known) or 0; errorText (errorTextSize bytes) always holds
// a zero-terminated error text on return, cut to fit without splitting a character.
int RegisterMachine(char* errorText, std::size_t errorTextSize = kErrorTextSize);

// The shared text type: 8-bit characters, any length, may be empty. The system's texts are ANSI (on Linux, the
// bytes as the operator's locale gives them); nothing here interprets the encoding.
#pragma once

#include <string>

using CString = std::string;

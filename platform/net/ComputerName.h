// The machine's computer name (the stand-in for GetComputerNameA).
#pragma once

#include "platform/win32/Win32.h"

// Copies the computer name, the host name up to its first ".", with its terminator into lpBuffer, which holds
// *nSize characters. On success returns TRUE and sets *nSize to the name's length without the terminator. When the
// buffer is too small returns FALSE with last error ERROR_BUFFER_OVERFLOW and *nSize set to the size needed,
// terminator included; the buffer is untouched. Returns FALSE with ERROR_INVALID_PARAMETER for null arguments and
// ERROR_FILE_NOT_FOUND when the host name is not set (empty, or the kernel's "(none)").
BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);

#include "common/Text.h"

// The computer name as GetComputerNameA reports it, or the empty text when it cannot be read.
CString ReadComputerName();

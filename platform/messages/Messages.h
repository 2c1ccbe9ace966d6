// The system message table: the texts Windows gives for the codes this system meets, each ending in "\r\n".
#pragma once

#include "platform/win32/Win32.h"

#include <cstdarg>

// Supports FORMAT_MESSAGE_FROM_SYSTEM with or without FORMAT_MESSAGE_ALLOCATE_BUFFER (then lpBuffer is really a
// char** that receives a buffer to release with LocalFree). Returns the text's length, or 0 when the table holds no
// text for the code (or the caller's buffer is too small).
DWORD FormatMessageA(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);
HLOCAL LocalFree(HLOCAL hMem);

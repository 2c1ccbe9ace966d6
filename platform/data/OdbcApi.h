// unixODBC's headers, made to live next to platform/win32/Win32.h: they declare their own ULONG (unsigned long,
// where Windows' is 32 bits) and a BOOL macro. Include this instead of <sql.h>/<sqlext.h>.
#pragma once

#include "platform/win32/Win32.h"

#define ULONG unixodbc_ULONG
#include <sql.h>
#include <sqlext.h>
#undef ULONG
#undef BOOL

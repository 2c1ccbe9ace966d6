#include "platform/net/ComputerName.h"

#include <sys/utsname.h>

#include <cstring>
#include <string_view>

// Windows' computer name is a single label; the Linux host name may be a full DNS name, whose first label is the
// machine's own name. "(none)" is the kernel's placeholder for a host name nobody set.
BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
    if (!lpBuffer || !nSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    utsname system{};
    if (::uname(&system) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::string_view name(system.nodename, ::strnlen(system.nodename, sizeof(system.nodename)));
    name = name.substr(0, name.find('.'));
    if (name.empty() || name == "(none)") {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    const auto needed = static_cast<DWORD>(name.size() + 1);
    if (*nSize < needed) {
        *nSize = needed;
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(lpBuffer, name.data(), name.size());
    lpBuffer[name.size()] = '\0';
    *nSize = static_cast<DWORD>(name.size());
    return TRUE;
}

CString ReadComputerName() {
    char buffer[256];
    DWORD size = sizeof(buffer);
    if (!GetComputerNameA(buffer, &size))
        return {};
    return CString(buffer, size);
}

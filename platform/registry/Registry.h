// The Win32 registry functions the system calls, over a file-backed hive.
//
// The hive lives in the directory named by the environment variable ENLISTOR_REGISTRY, else
// /var/lib/enlistor/registry; HKEY_LOCAL_MACHINE is its subdirectory HKEY_LOCAL_MACHINE. The branch
// SOFTWARE\ODBC\ODBCINST.INI answers from unixODBC's list of installed drivers. Results and error codes are those
// of Windows (see the ERROR_* constants in platform/win32/Win32.h).
#pragma once

#include "platform/win32/Win32.h"

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     const void* lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegCloseKey(HKEY hKey);

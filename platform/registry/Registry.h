// The Win32 registry functions the system calls, over a file-backed hive.
//
// The hive lives in the directory named by the environment variable ENLISTOR_REGISTRY, else
// /var/lib/enlistor/registry; HKEY_LOCAL_MACHINE is its subdirectory HKEY_LOCAL_MACHINE. Its on-disk form, and why
// it survives a crash at any instant and concurrent writers, is described in platform/registry/HiveFormat.h. Results
// and error codes are those of Windows (see the ERROR_* constants in platform/win32/Win32.h):
// - paths: a leading "\" is ERROR_BAD_PATHNAME; doubled and trailing "\" are accepted; "" opens the key itself;
//   "/" is an ordinary character. Key and value names compare case-insensitively (ASCII) and keep their case.
// - access is the operating system's: KEY_READ needs read access to the key's directory, KEY_WRITE write access,
//   reading a value read access to its file; refusal is ERROR_ACCESS_DENIED. A handle opened without
//   KEY_QUERY_VALUE cannot query (ERROR_ACCESS_DENIED), one without KEY_SET_VALUE cannot set.
// - RegQueryValueExA with a buffer too small: ERROR_MORE_DATA, the size needed in *lpcbData, the buffer untouched.
// - RegCloseKey of a null, closed or foreign handle: ERROR_INVALID_HANDLE; of HKEY_LOCAL_MACHINE: ERROR_SUCCESS.
// - SOFTWARE\ODBC\ODBCINST.INI is not in the hive: it and SOFTWARE\ODBC\ODBCINST.INI\NAME, for every driver NAME
//   that unixODBC lists (SQLGetInstalledDrivers, so ODBCSYSINI/ODBCINSTINI apply), open for reading even when the
//   hive does not exist; they hold no values (ERROR_FILE_NOT_FOUND) and nothing lies deeper. Opening them for
//   writing, creating keys there and setting values there is ERROR_ACCESS_DENIED: the list is unixODBC's to change.
// - The hive is private to its owner (directories 0700, files 0600, whatever the umask; a write narrows wider modes
//   on the root, HKEY_LOCAL_MACHINE, the written key's path and files), so another user's calls are
//   ERROR_ACCESS_DENIED. Nothing in it is reached through a symbolic link.
// - ERROR_BADKEY: a value file that is not in the stored form or holds more than 64 KiB of data (its size is checked
//   before anything is read), or an entry of the wrong kind where a key's directory, a value file or the key's lock
//   is expected (a link, FIFO, device, or a file for a directory); such an entry is never followed or written
//   through. RegSetValueExA with more than 64 KiB of data is ERROR_INVALID_PARAMETER and writes nothing.
// - Failed writes are ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ERROR_NOT_ENOUGH_MEMORY or ERROR_CANTWRITE and leave the
//   old value in place; other failures to open a key are ERROR_CANTOPEN, to read a value ERROR_CANTREAD.
//
// Behind these functions the hive's helpers (HiveKeys.h for key directories, HiveValues.h for value files) answer in
// errno; the functions here turn that into the codes above in one place.
#pragma once

#include "platform/win32/Win32.h"

#include <string>

// The hive's root directory: ENLISTOR_REGISTRY when set and not empty, else /var/lib/enlistor/registry.
std::string RegistryRootPath();

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     const void* lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegCloseKey(HKEY hKey);

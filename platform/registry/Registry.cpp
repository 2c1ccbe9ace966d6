#include "platform/registry/Registry.h"

#include "platform/registry/HiveFormat.h"
#include "platform/registry/HiveKeys.h"
#include "platform/registry/HiveValues.h"
#include "platform/registry/OdbcDrivers.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <unistd.h>
#include <unordered_set>
#include <utility>
#include <vector>

using namespace enlistor::registry;

// An open key. Keys on disk hold an O_PATH descriptor of their directory; keys of the driver-list branch are
// answered from unixODBC and have none.
struct HKEY__ {
    unique_fd directory;
    REGSAM access = 0;
    std::vector<std::string> path; // below HKEY_LOCAL_MACHINE, names in the case they were created with
    bool driver_branch = false;
};

namespace {

// Open keys, so that a stale, foreign or doubly closed handle is refused rather than followed.
std::mutex open_keys_mutex;
std::unordered_set<HKEY> open_keys;

// The one translation of the hive's errno answers into Win32 codes; fallback is the code for anything that is
// neither missing, refused, corrupt nor out of space or memory.
LONG error_from_errno(int error, LONG fallback) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EUCLEAN:
    case ELOOP:
        return ERROR_BADKEY;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    default:
        return fallback;
    }
}

// The OS rights a key access mask needs on the key's directory.
int os_access_for(REGSAM access) {
    int mode = X_OK;
    if (access & (KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY))
        mode |= R_OK;
    if (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY))
        mode |= W_OK;
    return mode;
}

bool wants_write(REGSAM access) {
    return (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
}

bool is_predefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE;
}

// What an operation starts from: an open key, or the predefined root.
struct base_key {
    unique_fd directory; // a duplicate, so a concurrent RegCloseKey of the handle cannot pull it away
    int duplicate_error = 0;
    REGSAM access = 0;
    std::vector<std::string> path;
    bool driver_branch = false;
    bool predefined = false;
};

// Resolves a handle: ERROR_INVALID_HANDLE for anything but the predefined root or an open key.
LONG resolve_handle(HKEY key, base_key& base) {
    if (is_predefined(key)) {
        base.access = KEY_READ | KEY_WRITE;
        base.predefined = true;
        return ERROR_SUCCESS;
    }
    const std::lock_guard lock(open_keys_mutex);
    if (key == nullptr || open_keys.count(key) == 0)
        return ERROR_INVALID_HANDLE;
    if (key->directory.valid()) {
        base.directory = unique_fd(::fcntl(key->directory.get(), F_DUPFD_CLOEXEC, 0));
        if (!base.directory.valid())
            base.duplicate_error = errno;
    }
    base.access = key->access;
    base.path = key->path;
    base.driver_branch = key->driver_branch;
    return ERROR_SUCCESS;
}

// The directory an operation on the hive starts from: the key's, or HKEY_LOCAL_MACHINE's (created when writing).
int open_base_directory(base_key& base, bool for_writing, unique_fd& directory) {
    if (base.predefined)
        return open_local_machine(for_writing, directory);
    if (base.duplicate_error != 0)
        return base.duplicate_error;
    directory = std::move(base.directory);
    return 0;
}

HKEY register_key(std::unique_ptr<HKEY__> key) {
    const std::lock_guard lock(open_keys_mutex);
    HKEY handle = key.release();
    open_keys.insert(handle);
    return handle;
}

// SOFTWARE\ODBC\ODBCINST.INI and everything below it is the driver-list branch.
bool in_driver_branch(const std::vector<std::string>& path) {
    return path.size() >= 3 && names_equal(path[0], "SOFTWARE") && names_equal(path[1], "ODBC") &&
           names_equal(path[2], "ODBCINST.INI");
}

// Opens a key of the driver-list branch: the list itself, or one key per installed driver. Nothing deeper exists,
// the branch holds no values, and it cannot be written (ERROR_ACCESS_DENIED).
LONG open_driver_branch_key(std::vector<std::string> path, REGSAM access, PHKEY result) {
    if (wants_write(access))
        return ERROR_ACCESS_DENIED;
    if (path.size() > 4)
        return ERROR_FILE_NOT_FOUND;
    if (path.size() == 4) {
        const auto driver = find_installed_odbc_driver(path[3]);
        if (!driver)
            return ERROR_FILE_NOT_FOUND;
        path[3] = *driver;
    }
    auto key = std::make_unique<HKEY__>();
    key->access = access;
    key->path = std::move(path);
    key->driver_branch = true;
    *result = register_key(std::move(key));
    return ERROR_SUCCESS;
}

// Runs body, turning an allocation failure (the only exception the stand-in meets) into its Win32 code.
template <typename Body>
LONG guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_INVALID_PARAMETER;
    }
}

// A key path resolved against its handle: the base to start from and the full path below HKEY_LOCAL_MACHINE.
struct key_request {
    base_key base;
    std::vector<std::string> path;
    bool driver_branch = false;
};

LONG resolve_key_path(HKEY hKey, LPCSTR lpSubKey, key_request& request) {
    if (const LONG status = resolve_handle(hKey, request.base); status != ERROR_SUCCESS)
        return status;
    std::vector<std::string> components;
    if (const LONG status = split_key_path(lpSubKey != nullptr ? lpSubKey : "", components); status != ERROR_SUCCESS)
        return status;
    request.path = request.base.path;
    request.path.insert(request.path.end(), components.begin(), components.end());
    request.driver_branch = request.base.driver_branch || in_driver_branch(request.path);
    return ERROR_SUCCESS;
}

// Walks (or, with create, makes) the keys of the request below its base; the final directory must grant the OS
// rights the access mask needs. path receives the names as created.
int open_disk_key(key_request& request, REGSAM access, bool create, HKEY__& key, bool& created_last) {
    unique_fd current;
    if (const int error = open_base_directory(request.base, create, current); error != 0)
        return error;
    created_last = false;
    for (std::size_t i = request.base.path.size(); i < request.path.size(); ++i) {
        std::string entry;
        const int error = create ? find_or_create_subkey(current.get(), request.path[i], entry, created_last)
                                 : find_subkey(current.get(), request.path[i], entry);
        if (error != 0)
            return error;
        unique_fd next;
        if (const int open_error = open_subkey(current.get(), entry, next); open_error != 0)
            return open_error;
        request.path[i] = decode_key_entry_name(entry).value_or(request.path[i]);
        current = std::move(next);
    }
    if (const int error = check_directory_access(current.get(), os_access_for(access)); error != 0)
        return error;
    key.directory = std::move(current);
    key.access = access;
    key.path = std::move(request.path);
    return 0;
}

// Writes one value of the key (the root and the key's path narrowed to the owner on the way).
int write_disk_value(base_key& base, std::string_view name, DWORD type, std::span<const std::uint8_t> data) {
    unique_fd local_machine;
    if (const int error = open_local_machine(true, local_machine); error != 0)
        return error;
    unique_fd handle_directory;
    if (!base.predefined) {
        if (const int error = open_base_directory(base, true, handle_directory); error != 0)
            return error;
    }
    unique_fd key;
    if (const int error = open_key_for_writing(local_machine.get(), base.path,
                                               base.predefined ? local_machine.get() : handle_directory.get(), key);
        error != 0)
        return error;
    return write_value(key.get(), name, type, data);
}

} // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return guarded([&] {
        key_request request;
        if (const LONG status = resolve_key_path(hKey, lpSubKey, request); status != ERROR_SUCCESS)
            return status;
        if (request.driver_branch)
            return open_driver_branch_key(std::move(request.path), samDesired, phkResult);
        auto key = std::make_unique<HKEY__>();
        bool created = false;
        if (const int error = open_disk_key(request, samDesired, false, *key, created); error != 0)
            return error_from_errno(error, ERROR_CANTOPEN);
        *phkResult = register_key(std::move(key));
        return ERROR_SUCCESS;
    });
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD /*dwOptions*/,
                     REGSAM samDesired, const void* /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return guarded([&] {
        key_request request;
        if (const LONG status = resolve_key_path(hKey, lpSubKey, request); status != ERROR_SUCCESS)
            return status;
        if (request.driver_branch)
            return ERROR_ACCESS_DENIED;
        for (std::size_t i = request.base.path.size(); i < request.path.size(); ++i) {
            if (!encode_name(request.path[i]))
                return ERROR_INVALID_PARAMETER; // its stored form would not fit a directory entry
        }
        auto key = std::make_unique<HKEY__>();
        bool created = false;
        if (const int error = open_disk_key(request, samDesired, true, *key, created); error != 0)
            return error_from_errno(error, ERROR_CANTWRITE);
        *phkResult = register_key(std::move(key));
        if (lpdwDisposition != nullptr)
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    return guarded([&] {
        base_key base;
        if (const LONG status = resolve_handle(hKey, base); status != ERROR_SUCCESS)
            return status;
        if (!base.predefined && (base.access & KEY_QUERY_VALUE) == 0)
            return ERROR_ACCESS_DENIED;
        if (base.driver_branch)
            return ERROR_FILE_NOT_FOUND;
        unique_fd directory;
        value_file value;
        int error = open_base_directory(base, false, directory);
        if (error == 0)
            error = open_value(directory.get(), lpValueName != nullptr ? lpValueName : "", value);
        if (error == 0 && lpData != nullptr && *lpcbData >= value.header.size)
            error = read_value_data(value, std::span<std::uint8_t>(lpData, value.header.size));
        if (error != 0)
            return error_from_errno(error, ERROR_CANTREAD);

        const bool fits = lpData == nullptr || *lpcbData >= value.header.size;
        if (lpcbData != nullptr)
            *lpcbData = value.header.size;
        if (lpType != nullptr)
            *lpType = value.header.type;
        return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
    });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if ((lpData == nullptr && cbData != 0) || cbData > max_value_size)
        return ERROR_INVALID_PARAMETER;
    return guarded([&] {
        base_key base;
        if (const LONG status = resolve_handle(hKey, base); status != ERROR_SUCCESS)
            return status;
        if (base.driver_branch)
            return ERROR_ACCESS_DENIED;
        if (!base.predefined && (base.access & KEY_SET_VALUE) == 0)
            return ERROR_ACCESS_DENIED;
        const std::string_view name = lpValueName != nullptr ? lpValueName : "";
        if (!value_file_name(name))
            return ERROR_INVALID_PARAMETER;
        const std::span<const std::uint8_t> data(lpData, lpData != nullptr ? cbData : 0);
        return error_from_errno(write_disk_value(base, name, dwType, data), ERROR_CANTWRITE);
    });
}

LONG RegCloseKey(HKEY hKey) {
    if (is_predefined(hKey))
        return ERROR_SUCCESS;
    {
        const std::lock_guard lock(open_keys_mutex);
        if (hKey == nullptr || open_keys.erase(hKey) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete hKey;
    return ERROR_SUCCESS;
}

std::string RegistryRootPath() {
    const char* configured = std::getenv(std::string(hive_root_variable).c_str());
    return (configured != nullptr && *configured != '\0') ? std::string(configured) : std::string(hive_default_root);
}

#include "platform/registry/Registry.h"

#include "platform/registry/HiveFormat.h"
#include "platform/registry/OdbcDrivers.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>
#include <vector>

using namespace enlistor::registry;

namespace {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : m_fd(fd) {}
    unique_fd(unique_fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const noexcept { return m_fd; }
    int release() noexcept { return std::exchange(m_fd, -1); }
    bool valid() const noexcept { return m_fd >= 0; }
    void reset() noexcept {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // Closes and reports the error close(2) gives (a delayed write error on some file systems).
    [[nodiscard]] int close() noexcept {
        const int result = ::close(std::exchange(m_fd, -1));
        return result == 0 ? 0 : errno;
    }

private:
    int m_fd = -1;
};

class closedir_guard {
public:
    explicit closedir_guard(DIR* dir) noexcept : m_dir(dir) {}
    closedir_guard(const closedir_guard&) = delete;
    closedir_guard& operator=(const closedir_guard&) = delete;
    ~closedir_guard() {
        if (m_dir != nullptr)
            ::closedir(m_dir);
    }
    DIR* get() const noexcept { return m_dir; }

private:
    DIR* m_dir;
};

} // namespace

// An open key. Keys on disk hold an O_PATH descriptor of their directory; keys of the driver-list branch are
// answered from unixODBC and have none.
struct HKEY__ {
    unique_fd directory;
    REGSAM access = 0;
    std::vector<std::string> path; // below HKEY_LOCAL_MACHINE, names as stored
    bool driver_branch = false;
};

namespace {

// Open keys, so that a stale, foreign or doubly closed handle is refused rather than followed.
std::mutex open_keys_mutex;
std::unordered_set<HKEY> open_keys;

// errno → ERROR_*; fallback is the code for anything that is neither missing, refused nor out of space.
LONG error_from_errno(int error, LONG fallback) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    default:
        return fallback;
    }
}

std::string local_machine_path() {
    return RegistryRootPath() + "/" + std::string(local_machine_directory);
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

LONG check_os_access(int directory, REGSAM access) {
    if (::faccessat(directory, ".", os_access_for(access), AT_EACCESS) != 0)
        return error_from_errno(errno, ERROR_ACCESS_DENIED);
    return ERROR_SUCCESS;
}

int fsync_directory(int directory) {
    unique_fd readable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!readable.valid())
        return errno;
    if (::fsync(readable.get()) != 0)
        return errno;
    return 0;
}

// Scans a key's directory for an entry whose decoded name equals name case-insensitively; decode picks the entry
// kind (subkey or value file) and want_directory the file type. Returns 0 and the entry, ENOENT, or the scan's errno.
template <typename Decode>
int scan_for_entry(int directory, std::string_view name, Decode decode, bool want_directory, std::string& entry) {
    unique_fd readable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!readable.valid())
        return errno;
    closedir_guard dir(::fdopendir(readable.get()));
    if (dir.get() == nullptr)
        return errno;
    readable.release(); // owned by dir from here
    for (;;) {
        errno = 0;
        const dirent* item = ::readdir(dir.get());
        if (item == nullptr)
            return errno != 0 ? errno : ENOENT;
        const auto decoded = decode(std::string_view(item->d_name));
        if (!decoded || !names_equal(*decoded, name))
            continue;
        struct stat st {};
        if (::fstatat(directory, item->d_name, &st, 0) != 0)
            continue;
        if (S_ISDIR(st.st_mode) == want_directory && (want_directory || S_ISREG(st.st_mode))) {
            entry = item->d_name;
            return 0;
        }
    }
}

// Finds the subkey name of the key open at directory: its stored entry, case-insensitively. 0, ENOENT or errno.
int find_subkey(int directory, std::string_view name, std::string& entry) {
    const auto stored = encode_name(name);
    if (!stored)
        return ENOENT;
    struct stat st {};
    if (::fstatat(directory, stored->c_str(), &st, 0) == 0) {
        if (S_ISDIR(st.st_mode)) {
            entry = *stored;
            return 0;
        }
    } else if (errno != ENOENT) {
        return errno;
    }
    return scan_for_entry(directory, name, decode_key_entry_name, true, entry);
}

// Finds the value file of a value name, case-insensitively. 0, ENOENT or errno.
int find_value_file(int directory, std::string_view name, std::string& entry) {
    const auto stored = value_file_name(name);
    if (!stored)
        return ENOENT;
    struct stat st {};
    if (::fstatat(directory, stored->c_str(), &st, 0) == 0) {
        if (S_ISREG(st.st_mode)) {
            entry = *stored;
            return 0;
        }
    } else if (errno != ENOENT) {
        return errno;
    }
    return scan_for_entry(directory, name, decode_value_file_name, false, entry);
}

// The exclusive lock of a key's directory (its .lock file), released when the object goes.
class key_lock {
public:
    // 0 when locked, else the errno (EACCES when the key's directory is not writable and has no lock file yet).
    [[nodiscard]] int acquire(int directory) {
        m_fd =
            unique_fd(::openat(directory, std::string(lock_file_name).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
        if (!m_fd.valid())
            return errno;
        while (::flock(m_fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                return errno;
        }
        return 0;
    }

private:
    unique_fd m_fd;
};

// Creates the directories of path that are missing, each made durable in its parent.
int make_directories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) == 0) {
            const std::size_t parent_end = prefix.rfind('/');
            const std::string parent = parent_end == 0 ? "/" : prefix.substr(0, parent_end);
            unique_fd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (parent_fd.valid())
                (void)::fsync(parent_fd.get());
        } else if (errno != EEXIST) {
            return errno;
        }
        if (slash == std::string::npos)
            return 0;
    }
}

bool is_predefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE;
}

// What an operation starts from: an open key, or the predefined root.
struct base_key {
    unique_fd directory; // a duplicate, so a concurrent RegCloseKey of the handle cannot pull it away
    REGSAM access = 0;
    std::vector<std::string> path;
    bool driver_branch = false;
    bool predefined = false;
    LONG unavailable = ERROR_SUCCESS; // why the predefined root's directory could not be opened
};

// Resolves a handle. For the predefined root, create_root makes the hive's directories when missing.
LONG resolve_base(HKEY key, bool create_root, base_key& base) {
    if (is_predefined(key)) {
        const std::string root = local_machine_path();
        if (create_root) {
            if (const int error = make_directories(root); error != 0)
                return error_from_errno(error, ERROR_CANTWRITE);
        }
        base.directory = unique_fd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!base.directory.valid()) {
            // A hive that does not exist yet still has the driver-list branch.
            if (create_root)
                return error_from_errno(errno, ERROR_CANTREAD);
            base.unavailable = error_from_errno(errno, ERROR_CANTREAD);
        }
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
            return error_from_errno(errno, ERROR_CANTREAD);
    }
    base.access = key->access;
    base.path = key->path;
    base.driver_branch = key->driver_branch;
    return ERROR_SUCCESS;
}

HKEY register_key(HKEY__* key) {
    const std::lock_guard lock(open_keys_mutex);
    open_keys.insert(key);
    return key;
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
    *result = register_key(key.release());
    return ERROR_SUCCESS;
}

LONG finish_disk_key(unique_fd directory, std::vector<std::string> path, REGSAM access, PHKEY result) {
    if (const LONG status = check_os_access(directory.get(), access); status != ERROR_SUCCESS)
        return status;
    auto key = std::make_unique<HKEY__>();
    key->directory = std::move(directory);
    key->access = access;
    key->path = std::move(path);
    *result = register_key(key.release());
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

LONG open_key(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult) {
    base_key base;
    if (const LONG status = resolve_base(hKey, false, base); status != ERROR_SUCCESS)
        return status;
    std::vector<std::string> components;
    if (const LONG status = split_key_path(lpSubKey != nullptr ? lpSubKey : "", components); status != ERROR_SUCCESS)
        return status;

    std::vector<std::string> path = base.path;
    path.insert(path.end(), components.begin(), components.end());
    if (base.driver_branch || in_driver_branch(path))
        return open_driver_branch_key(std::move(path), samDesired, phkResult);
    if (base.unavailable != ERROR_SUCCESS)
        return base.unavailable;

    unique_fd current = std::move(base.directory);
    for (std::size_t i = base.path.size(); i < path.size(); ++i) {
        std::string entry;
        if (const int error = find_subkey(current.get(), path[i], entry); error != 0)
            return error_from_errno(error, ERROR_CANTREAD);
        unique_fd next(::openat(current.get(), entry.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!next.valid())
            return error_from_errno(errno, ERROR_CANTREAD);
        path[i] = std::move(entry);
        current = std::move(next);
    }
    for (std::size_t i = base.path.size(); i < path.size(); ++i)
        path[i] = decode_key_entry_name(path[i]).value_or(path[i]);
    return finish_disk_key(std::move(current), std::move(path), samDesired, phkResult);
}

LONG create_key(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult, LPDWORD lpdwDisposition) {
    base_key base;
    if (const LONG status = resolve_base(hKey, true, base); status != ERROR_SUCCESS)
        return status;
    std::vector<std::string> components;
    if (const LONG status = split_key_path(lpSubKey, components); status != ERROR_SUCCESS)
        return status;

    std::vector<std::string> path = base.path;
    path.insert(path.end(), components.begin(), components.end());
    if (base.driver_branch || in_driver_branch(path))
        return ERROR_ACCESS_DENIED;

    DWORD disposition = REG_OPENED_EXISTING_KEY;
    unique_fd current = std::move(base.directory);
    for (std::size_t i = base.path.size(); i < path.size(); ++i) {
        std::string entry;
        int error = find_subkey(current.get(), path[i], entry);
        if (error == ENOENT) {
            // Look again under the parent's lock, so two creators of names differing only in case make one key.
            key_lock lock;
            if (const int lock_error = lock.acquire(current.get()); lock_error != 0)
                return error_from_errno(lock_error, ERROR_CANTWRITE);
            error = find_subkey(current.get(), path[i], entry);
            if (error == ENOENT) {
                const auto stored = encode_name(path[i]);
                if (!stored)
                    return ERROR_INVALID_PARAMETER;
                if (::mkdirat(current.get(), stored->c_str(), 0755) != 0)
                    return error_from_errno(errno, ERROR_CANTWRITE);
                if (const int sync_error = fsync_directory(current.get()); sync_error != 0)
                    return error_from_errno(sync_error, ERROR_CANTWRITE);
                entry = *stored;
                error = 0;
                disposition = REG_CREATED_NEW_KEY;
            }
        }
        if (error != 0)
            return error_from_errno(error, ERROR_CANTREAD);
        unique_fd next(::openat(current.get(), entry.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!next.valid())
            return error_from_errno(errno, ERROR_CANTREAD);
        path[i] = decode_key_entry_name(entry).value_or(path[i]);
        current = std::move(next);
    }
    if (const LONG status = finish_disk_key(std::move(current), std::move(path), samDesired, phkResult);
        status != ERROR_SUCCESS)
        return status;
    if (lpdwDisposition != nullptr)
        *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

// Reads exactly size bytes at offset. 0, or the errno (EIO for a file that ends early).
int read_exactly(int fd, void* buffer, std::size_t size, off_t offset) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            return EIO;
        out += got;
        size -= static_cast<std::size_t>(got);
        offset += got;
    }
    return 0;
}

int write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

LONG query_value(HKEY hKey, LPCSTR lpValueName, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    base_key base;
    if (const LONG status = resolve_base(hKey, false, base); status != ERROR_SUCCESS)
        return status;
    if (!base.predefined && (base.access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (base.driver_branch)
        return ERROR_FILE_NOT_FOUND;
    if (base.unavailable != ERROR_SUCCESS)
        return base.unavailable;

    std::string entry;
    if (const int error = find_value_file(base.directory.get(), lpValueName != nullptr ? lpValueName : "", entry);
        error != 0)
        return error_from_errno(error, ERROR_CANTREAD);
    unique_fd file(::openat(base.directory.get(), entry.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid())
        return error_from_errno(errno, ERROR_CANTREAD);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        return error_from_errno(errno, ERROR_CANTREAD);
    std::uint8_t header_bytes[value_header_size];
    if (static_cast<std::uint64_t>(st.st_size) < value_header_size)
        return ERROR_BADKEY;
    if (const int error = read_exactly(file.get(), header_bytes, value_header_size, 0); error != 0)
        return error_from_errno(error, ERROR_CANTREAD);
    const auto header = parse_value_header(header_bytes, static_cast<std::uint64_t>(st.st_size));
    if (!header)
        return ERROR_BADKEY;

    if (lpData != nullptr) {
        if (*lpcbData < header->size) {
            *lpcbData = header->size;
            if (lpType != nullptr)
                *lpType = header->type;
            return ERROR_MORE_DATA;
        }
        if (const int error = read_exactly(file.get(), lpData, header->size, value_header_size); error != 0)
            return error_from_errno(error, ERROR_CANTREAD);
    }
    if (lpcbData != nullptr)
        *lpcbData = header->size;
    if (lpType != nullptr)
        *lpType = header->type;
    return ERROR_SUCCESS;
}

// Replaces (or creates) one value file: .tmp written, synced and renamed over it, then the directory synced; all
// under the key's lock. The value keeps the name's case it was created with, and its file's permission bits.
LONG set_value(HKEY hKey, LPCSTR lpValueName, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    base_key base;
    if (const LONG status = resolve_base(hKey, true, base); status != ERROR_SUCCESS)
        return status;
    if (base.driver_branch)
        return ERROR_ACCESS_DENIED;
    if (!base.predefined && (base.access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    const std::string name = lpValueName != nullptr ? lpValueName : "";
    const auto new_entry = value_file_name(name);
    if (!new_entry)
        return ERROR_INVALID_PARAMETER;
    const std::vector<std::uint8_t> contents =
        serialize_value_file(dwType, std::span<const std::uint8_t>(lpData, lpData != nullptr ? cbData : 0));

    const int directory = base.directory.get();
    key_lock lock;
    if (const int error = lock.acquire(directory); error != 0)
        return error_from_errno(error, ERROR_CANTWRITE);
    std::string entry;
    mode_t mode = 0644;
    if (const int error = find_value_file(directory, name, entry); error == ENOENT) {
        entry = *new_entry;
    } else if (error != 0) {
        return error_from_errno(error, ERROR_CANTREAD);
    } else {
        struct stat st {};
        if (::fstatat(directory, entry.c_str(), &st, 0) == 0)
            mode = st.st_mode & 07777;
    }

    const std::string temp(temp_file_name);
    unique_fd temp_file(::openat(directory, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!temp_file.valid())
        return error_from_errno(errno, ERROR_CANTWRITE);
    int error = ::fchmod(temp_file.get(), mode) == 0 ? 0 : errno;
    if (error == 0)
        error = write_all(temp_file.get(), contents.data(), contents.size());
    if (error == 0 && ::fsync(temp_file.get()) != 0)
        error = errno;
    if (const int close_error = temp_file.close(); error == 0)
        error = close_error;
    if (error == 0 && ::renameat(directory, temp.c_str(), directory, entry.c_str()) != 0)
        error = errno;
    if (error != 0) {
        (void)::unlinkat(directory, temp.c_str(), 0);
        return error_from_errno(error, ERROR_CANTWRITE);
    }
    if (const int sync_error = fsync_directory(directory); sync_error != 0)
        return error_from_errno(sync_error, ERROR_CANTWRITE);
    return ERROR_SUCCESS;
}

} // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return guarded([&] { return open_key(hKey, lpSubKey, samDesired, phkResult); });
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD /*dwOptions*/,
                     REGSAM samDesired, const void* /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return guarded([&] { return create_key(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition); });
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    return guarded([&] { return query_value(hKey, lpValueName, lpType, lpData, lpcbData); });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData != 0)
        return ERROR_INVALID_PARAMETER;
    return guarded([&] { return set_value(hKey, lpValueName, dwType, lpData, cbData); });
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

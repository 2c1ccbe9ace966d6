// The hive's key directories: opening the root, walking and creating keys, the key lock, keeping directories
// private. Nothing here follows a symbolic link (see HiveFormat.h).
//
// Every function speaks errno: 0 on success, else the system's errno or the hive's own condition
//   EUCLEAN  an entry is not of the kind the hive keeps there (a link, device, FIFO, socket, or a file where a
//            directory is expected or the reverse), or a value file is not in the stored form (HiveValues.h).
// The Reg* functions turn these into Win32 codes, in one place.
#pragma once

#include <dirent.h>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace enlistor::registry {

// An owned file descriptor; the destructor closes it, close() reports what close(2) says.
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
    // Closes and returns 0 or the errno of close(2) (a delayed write error on some file systems).
    [[nodiscard]] int close() noexcept;

private:
    int m_fd = -1;
};

// An owned directory stream (from fdopendir, which then owns the descriptor).
class dir_stream {
public:
    explicit dir_stream(DIR* dir) noexcept : m_dir(dir) {}
    dir_stream(const dir_stream&) = delete;
    dir_stream& operator=(const dir_stream&) = delete;
    ~dir_stream() {
        if (m_dir != nullptr)
            ::closedir(m_dir);
    }
    DIR* get() const noexcept { return m_dir; }

private:
    DIR* m_dir;
};

// Calls visit with each entry of the directory open at directory (O_PATH or readable), "." and ".." among them, until
// it returns false. 0 when the directory was read to its end or visit stopped, else the errno of opening or reading.
[[nodiscard]] int for_each_entry(int directory, const std::function<bool(const dirent&)>& visit);

// Finds the entry of a key's directory that holds name: its stored form (stored, when the name has one) first, then
// any entry whose decoded name (decode) equals name case-insensitively. The entry must be of the kind given (S_IFDIR
// for subkeys, S_IFREG for values): 0 and its entry, ENOENT, EUCLEAN when the match is of another kind, or the
// errno of the search.
[[nodiscard]] int find_entry(int directory, std::string_view name, const std::optional<std::string>& stored,
                             std::optional<std::string> (*decode)(std::string_view), mode_t kind, std::string& entry);

// Opens the directory of HKEY_LOCAL_MACHINE: for reading an O_PATH descriptor (ENOENT when the hive does not
// exist); for writing a readable one, after creating whatever is missing (the root's parents 0755 as ordinary
// directories, the root and HKEY_LOCAL_MACHINE 0700, each new directory synced in its parent) and narrowing the root
// and HKEY_LOCAL_MACHINE to their owner.
[[nodiscard]] int open_local_machine(bool for_writing, unique_fd& local_machine);

// Finds the subkey name of the key whose directory is open at directory, case-insensitively: 0 and its entry,
// ENOENT, EUCLEAN when the entry of that name is not a directory, or the scan's errno.
[[nodiscard]] int find_subkey(int directory, std::string_view name, std::string& entry);
// Opens a subkey's directory (O_PATH) by its entry. EUCLEAN when the entry is not a directory.
[[nodiscard]] int open_subkey(int directory, const std::string& entry, unique_fd& subkey);
// Finds the subkey name or, under the key's lock, creates it (0700, synced in its parent); created says which.
[[nodiscard]] int find_or_create_subkey(int directory, std::string_view name, std::string& entry, bool& created);

// Narrows HKEY_LOCAL_MACHINE's lock and the directories on the key path (names below HKEY_LOCAL_MACHINE), with their
// locks, to their owner, and opens the key's
// own directory (open at key_directory) readable, narrowed too. Components that are gone (renamed meanwhile) are
// skipped.
[[nodiscard]] int open_key_for_writing(int local_machine, const std::vector<std::string>& path, int key_directory,
                                       unique_fd& key);

// 0 when the calling process has the access mode (R_OK, W_OK, X_OK) to the directory, else the errno.
[[nodiscard]] int check_directory_access(int directory, int mode);
// Syncs a directory (open at directory, O_PATH or not).
[[nodiscard]] int fsync_directory(int directory);
// Removes the group and other bits of the open file or directory (all bits but the owner's when exact is given).
[[nodiscard]] int make_private(int fd, int exact_mode = -1);

// The exclusive lock of a key (its .lock file, created 0600, never through a link), released when the object goes.
class key_lock {
public:
    // 0 when locked; EACCES when the key's directory is not writable and has no lock file yet; EUCLEAN when .lock
    // is not a regular file.
    [[nodiscard]] int acquire(int directory);

private:
    unique_fd m_fd;
};

} // namespace enlistor::registry

#include "platform/registry/HiveKeys.h"

#include "platform/registry/HiveFormat.h"
#include "platform/registry/Registry.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace enlistor::registry {

namespace {

constexpr mode_t private_directory_mode = 0700;
constexpr mode_t private_file_mode = 0600;

// Opens the directory entry name of parent without following a link in its last component. A link or any other
// entry that is not a directory is EUCLEAN; a missing one ENOENT.
int open_directory_entry(int parent, const char* name, int flags, unique_fd& out) {
    out = unique_fd(::openat(parent, name, flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (out.valid())
        return 0;
    const int error = errno;
    if (error != ENOTDIR && error != ELOOP)
        return error;
    struct stat st {};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno; // a parent that is not a directory: the entry does not exist
    return EUCLEAN;
}

// Makes the directory name in parent (0700 whatever the umask, synced in parent) unless it exists, and opens it
// readable, narrowed to its owner.
int ensure_private_directory(int parent, const char* name, unique_fd& out, bool& created) {
    created = ::mkdirat(parent, name, private_directory_mode) == 0;
    if (!created && errno != EEXIST)
        return errno;
    if (created) {
        if (const int error = fsync_directory(parent); error != 0)
            return error;
    }
    if (const int error = open_directory_entry(parent, name, O_RDONLY, out); error != 0)
        return error;
    return make_private(out.get(), created ? static_cast<int>(private_directory_mode) : -1);
}

// Narrows the lock file of a key's directory (opened readable) to its owner, when there is one.
int narrow_lock_file(int directory) {
    const std::string name(lock_file_name);
    unique_fd lock(::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!lock.valid())
        return errno == ENOENT ? 0 : errno == ELOOP ? EUCLEAN : errno;
    struct stat st {};
    if (::fstat(lock.get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EUCLEAN;
    return make_private(lock.get());
}

// Creates the missing directories of path (outside the hive: its links are followed, the umask applies), each
// synced in its parent.
int make_parent_directories(const std::string& path) {
    if (path.empty() || path == "/" || path == ".")
        return 0;
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) == 0) {
            const std::size_t parent_end = prefix.rfind('/');
            const std::string parent = parent_end == std::string::npos ? "."
                                       : parent_end == 0               ? "/"
                                                                       : prefix.substr(0, parent_end);
            unique_fd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!parent_fd.valid())
                return errno;
            if (::fsync(parent_fd.get()) != 0)
                return errno;
        } else if (errno != EEXIST) {
            return errno;
        }
        if (slash == std::string::npos)
            return 0;
    }
}

} // namespace

int unique_fd::close() noexcept {
    const int result = ::close(std::exchange(m_fd, -1));
    return result == 0 ? 0 : errno;
}

int make_private(int fd, int exact_mode) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return errno;
    const mode_t current = st.st_mode & 07777;
    const mode_t wanted = exact_mode >= 0 ? static_cast<mode_t>(exact_mode) : (current & 0700);
    if (current != wanted && ::fchmod(fd, wanted) != 0)
        return errno;
    return 0;
}

int check_directory_access(int directory, int mode) {
    return ::faccessat(directory, ".", mode, AT_EACCESS) == 0 ? 0 : errno;
}

int fsync_directory(int directory) {
    unique_fd readable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!readable.valid())
        return errno;
    if (::fsync(readable.get()) != 0)
        return errno;
    return 0;
}

int open_local_machine(bool for_writing, unique_fd& local_machine) {
    std::string root = RegistryRootPath();
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    const std::string local_machine_name(local_machine_directory);
    if (!for_writing) {
        unique_fd root_fd;
        if (const int error = open_directory_entry(AT_FDCWD, root.c_str(), O_PATH, root_fd); error != 0)
            return error;
        return open_directory_entry(root_fd.get(), local_machine_name.c_str(), O_PATH, local_machine);
    }

    const std::size_t slash = root.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : root.substr(0, slash);
    const std::string name = slash == std::string::npos ? root : root.substr(slash + 1);
    if (name.empty())
        return EINVAL;
    if (const int error = make_parent_directories(parent); error != 0)
        return error;
    unique_fd parent_fd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent_fd.valid())
        return errno;
    unique_fd root_fd;
    bool created = false;
    if (const int error = ensure_private_directory(parent_fd.get(), name.c_str(), root_fd, created); error != 0)
        return error;
    return ensure_private_directory(root_fd.get(), local_machine_name.c_str(), local_machine, created);
}

int for_each_entry(int directory, const std::function<bool(const dirent&)>& visit) {
    unique_fd readable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!readable.valid())
        return errno;
    dir_stream dir(::fdopendir(readable.get()));
    if (dir.get() == nullptr)
        return errno;
    readable.release(); // owned by dir from here
    for (;;) {
        errno = 0;
        const dirent* item = ::readdir(dir.get());
        if (item == nullptr)
            return errno;
        if (!visit(*item))
            return 0;
    }
}

int find_entry(int directory, std::string_view name, const std::optional<std::string>& stored,
               std::optional<std::string> (*decode)(std::string_view), mode_t kind, std::string& entry) {
    if (!stored)
        return ENOENT;
    struct stat st {};
    if (::fstatat(directory, stored->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if ((st.st_mode & S_IFMT) != kind)
            return EUCLEAN;
        entry = *stored;
        return 0;
    }
    if (errno != ENOENT)
        return errno;
    int result = ENOENT;
    const int error = for_each_entry(directory, [&](const dirent& item) {
        const auto decoded = decode(item.d_name);
        if (!decoded || !names_equal(*decoded, name))
            return true;
        if (::fstatat(directory, item.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return true; // removed meanwhile
        if ((st.st_mode & S_IFMT) != kind) {
            result = EUCLEAN;
            return true;
        }
        entry = item.d_name;
        result = 0;
        return false;
    });
    return error != 0 ? error : result;
}

int find_subkey(int directory, std::string_view name, std::string& entry) {
    return find_entry(directory, name, encode_name(name), decode_key_entry_name, S_IFDIR, entry);
}

int open_subkey(int directory, const std::string& entry, unique_fd& subkey) {
    return open_directory_entry(directory, entry.c_str(), O_PATH, subkey);
}

int find_or_create_subkey(int directory, std::string_view name, std::string& entry, bool& created) {
    created = false;
    int error = find_subkey(directory, name, entry);
    if (error != ENOENT)
        return error;
    // Look again under the parent's lock, so two creators of names differing only in case make one key.
    key_lock lock;
    if (const int lock_error = lock.acquire(directory); lock_error != 0)
        return lock_error;
    error = find_subkey(directory, name, entry);
    if (error != ENOENT)
        return error;
    const auto stored = encode_name(name);
    if (!stored)
        return ENAMETOOLONG;
    unique_fd made;
    if (const int make_error = ensure_private_directory(directory, stored->c_str(), made, created); make_error != 0)
        return make_error;
    entry = *stored;
    return 0;
}

int open_key_for_writing(int local_machine, const std::vector<std::string>& path, int key_directory, unique_fd& key) {
    if (const int error = narrow_lock_file(local_machine); error != 0)
        return error;
    unique_fd current;
    for (const std::string& name : path) {
        const auto stored = encode_name(name);
        if (!stored)
            return ENAMETOOLONG;
        unique_fd next;
        const int error =
            open_directory_entry(current.valid() ? current.get() : local_machine, stored->c_str(), O_RDONLY, next);
        if (error == ENOENT)
            break;
        if (error != 0)
            return error;
        if (const int narrow_error = make_private(next.get()); narrow_error != 0)
            return narrow_error;
        if (const int narrow_error = narrow_lock_file(next.get()); narrow_error != 0)
            return narrow_error;
        current = std::move(next);
    }
    // The handle's own directory is the one written, whatever its path names now.
    key = unique_fd(::openat(key_directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!key.valid())
        return errno;
    return make_private(key.get());
}

int key_lock::acquire(int directory) {
    const std::string name(lock_file_name);
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    bool created = true;
    m_fd = unique_fd(::openat(directory, name.c_str(), flags | O_CREAT | O_EXCL, private_file_mode));
    if (!m_fd.valid() && errno == EEXIST) {
        created = false;
        m_fd = unique_fd(::openat(directory, name.c_str(), flags));
    }
    if (!m_fd.valid())
        return errno == ELOOP ? EUCLEAN : errno;
    struct stat st {};
    if (::fstat(m_fd.get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode)) {
        m_fd.reset();
        return EUCLEAN;
    }
    if (created) {
        if (const int error = make_private(m_fd.get(), static_cast<int>(private_file_mode)); error != 0)
            return error;
    }
    while (::flock(m_fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

} // namespace enlistor::registry

#include "platform/registry/HiveValues.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string.h> // explicit_bzero
#include <sys/random.h>
#include <sys/stat.h>
#include <vector>

namespace enlistor::registry {

namespace {

constexpr mode_t private_file_mode = 0600;
// Unique names collide only when someone plants them; give up after this many.
constexpr int temp_name_attempts = 64;

// Opens a regular file of the key's directory for reading, never through a link and never blocking on a FIFO; st
// receives its status.
int open_regular_file(int directory, const char* name, unique_fd& out, struct stat& st) {
    out = unique_fd(::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!out.valid())
        return errno == ELOOP ? EUCLEAN : errno;
    if (::fstat(out.get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode)) {
        out.reset();
        return EUCLEAN;
    }
    return 0;
}

// Goes through a key's directory under its lock: removes temporaries (left by crashed writers, as only the lock's
// holder writes one) and narrows the key's files to their owner. Entries that vanish meanwhile are skipped.
int tidy_key_directory(int directory) {
    int result = 0;
    const int error = for_each_entry(directory, [&](const dirent& item) {
        const std::string_view name(item.d_name);
        if (item.d_type == DT_DIR || name == "." || name == "..")
            return true;
        if (name.starts_with(temp_file_prefix)) {
            if (::unlinkat(directory, item.d_name, 0) != 0 && errno != ENOENT && errno != EISDIR) {
                result = errno;
                return false;
            }
            return true;
        }
        struct stat st {};
        if (::fstatat(directory, item.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            (st.st_mode & 077) == 0)
            return true;
        unique_fd file;
        if (open_regular_file(directory, item.d_name, file, st) != 0)
            return true;
        result = make_private(file.get());
        return result == 0;
    });
    return error != 0 ? error : result;
}

// A name no other temporary has: ".tmp-" and 16 random hex digits.
std::string temp_name() {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        random = static_cast<std::uint64_t>(now.tv_nsec) ^ static_cast<std::uint64_t>(now.tv_sec) << 30 ^
                 static_cast<std::uint64_t>(::getpid()) << 40;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%.*s-%016llx", static_cast<int>(temp_file_prefix.size()), temp_file_prefix.data(),
                  static_cast<unsigned long long>(random));
    return name;
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

// Writes contents to a new temporary of the directory and syncs it; name receives its name. On failure nothing is
// left behind.
int write_temporary(int directory, const std::vector<std::uint8_t>& contents, std::string& name) {
    unique_fd file;
    for (int attempt = 0; attempt < temp_name_attempts && !file.valid(); ++attempt) {
        name = temp_name();
        file = unique_fd(
            ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, private_file_mode));
        if (!file.valid() && errno != EEXIST)
            return errno;
    }
    if (!file.valid())
        return EEXIST;
    int error = make_private(file.get(), private_file_mode); // exactly 0600, whatever the umask took away
    if (error == 0)
        error = write_all(file.get(), contents.data(), contents.size());
    if (error == 0 && ::fsync(file.get()) != 0)
        error = errno;
    if (const int close_error = file.close(); error == 0)
        error = close_error;
    if (error != 0)
        (void)::unlinkat(directory, name.c_str(), 0);
    return error;
}

} // namespace

namespace {

// True when the value file already holds exactly these contents (type and bytes): rewriting it would change nothing
// a reader can see, so the write is skipped (a settings save that changes nothing then costs no fsync).
bool holds_contents(int directory, const std::string& entry, const std::vector<std::uint8_t>& contents) {
    unique_fd file;
    struct stat st {};
    if (open_regular_file(directory, entry.c_str(), file, st) != 0 ||
        static_cast<std::uint64_t>(st.st_size) != contents.size())
        return false;
    std::vector<std::uint8_t> stored(contents.size());
    std::size_t got = 0;
    while (got < stored.size()) {
        const ssize_t n = ::pread(file.get(), stored.data() + got, stored.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    const bool same = stored == contents;
    ::explicit_bzero(stored.data(), stored.size()); // it may be the password's stored form
    return same;
}

} // namespace

int find_value_file(int directory, std::string_view name, std::string& entry) {
    return find_entry(directory, name, value_file_name(name), decode_value_file_name, S_IFREG, entry);
}

int open_value(int directory, std::string_view name, value_file& value) {
    std::string entry;
    if (const int error = find_value_file(directory, name, entry); error != 0)
        return error;
    struct stat st {};
    if (const int error = open_regular_file(directory, entry.c_str(), value.fd, st); error != 0)
        return error;
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    if (file_size < value_header_size || file_size > value_header_size + max_value_size)
        return EUCLEAN;
    std::uint8_t header_bytes[value_header_size];
    std::size_t got = 0;
    while (got < value_header_size) {
        const ssize_t n = ::pread(value.fd.get(), header_bytes + got, value_header_size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EUCLEAN; // shorter than it said
        got += static_cast<std::size_t>(n);
    }
    const auto header = parse_value_header(header_bytes, file_size);
    if (!header)
        return EUCLEAN;
    value.header = *header;
    return 0;
}

int read_value_data(const value_file& value, std::span<std::uint8_t> data) {
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n =
            ::pread(value.fd.get(), data.data() + got, data.size() - got, static_cast<off_t>(value_header_size + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EUCLEAN; // truncated in place since its header was read
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

int write_value(int directory, std::string_view name, DWORD type, std::span<const std::uint8_t> data) {
    const auto new_entry = value_file_name(name);
    if (!new_entry)
        return ENAMETOOLONG;
    if (data.size() > max_value_size)
        return EINVAL;
    const std::vector<std::uint8_t> contents = serialize_value_file(type, data);

    key_lock lock;
    if (const int error = lock.acquire(directory); error != 0)
        return error;
    if (const int error = tidy_key_directory(directory); error != 0)
        return error;
    std::string entry;
    if (const int error = find_value_file(directory, name, entry); error == ENOENT)
        entry = *new_entry;
    else if (error != 0)
        return error;
    else if (holds_contents(directory, entry, contents))
        return 0;

    std::string temp;
    if (const int error = write_temporary(directory, contents, temp); error != 0)
        return error;
    if (::renameat(directory, temp.c_str(), directory, entry.c_str()) != 0) {
        const int error = errno;
        (void)::unlinkat(directory, temp.c_str(), 0);
        return error;
    }
    return fsync_directory(directory);
}

} // namespace enlistor::registry

#include "cli/Secret.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h> // fstat
#include <unistd.h>   // isatty

namespace {

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

} // namespace

bool ReadPasswordFrom(std::FILE* stream, const CString& name, SecretText& password, CString& error) {
    // Unbuffered: fread then copies straight from the file into our own buffer.
    std::setvbuf(stream, nullptr, _IONBF, 0);
    SecretText guard; // wipes the partial text on every early return
    std::array<char, 4096> chunk{};
    bool ok = true;
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), stream);
        if (got > 0) {
            if (guard.size() + got > kMaxPasswordFileSize) {
                error =
                    "the password file " + name + " is longer than " + std::to_string(kMaxPasswordFileSize) + " bytes";
                ok = false;
                break;
            }
            guard.Append(chunk.data(), got);
        }
        if (got < chunk.size()) {
            if (std::ferror(stream)) {
                error = "cannot read the password from " + name + ": " + std::strerror(errno);
                ok = false;
            }
            break;
        }
    }
    WipeBytes(chunk.data(), chunk.size());
    if (!ok)
        return false;
    const CString& read = guard.Text();
    std::size_t length = read.size();
    if (length > 0 && read[length - 1] == '\n') {
        --length;
        if (length > 0 && read[length - 1] == '\r')
            --length;
    }
    if (read.find('\0') < length) {
        error = "the password from " + name + " contains a zero byte";
        return false;
    }
    password = SecretText::Build(length, [&](char* bytes) {
        std::memcpy(bytes, read.data(), length);
        return length;
    });
    return true;
}

bool ReadPassword(const CString& path, SecretText& password, CString& error, CString* warning) {
    if (warning)
        warning->clear();
    if (path == "-") {
        if (isatty(fileno(stdin))) {
            error = "refusing to read the password from a terminal: pipe it into --password-file - or name a file";
            return false;
        }
        return ReadPasswordFrom(stdin, "standard input", password, error);
    }
    // Opened without blocking, so a FIFO without a writer cannot hold the command; only a regular file is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "cannot open the password file '" + path + "': " + std::strerror(errno);
        return false;
    }
    const std::unique_ptr<std::FILE, file_closer> file(::fdopen(fd, "rb"));
    if (!file) {
        error = "cannot open the password file '" + path + "': " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    // The mode of the file actually opened, not of whatever the path names a moment later.
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "the password file '" + path +
                "' is not a regular file: name a file, or pipe the password into "
                "--password-file -";
        return false;
    }
    if (warning && (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        *warning = "the password file '" + path + "' can be read by " +
                   ((status.st_mode & S_IROTH) ? "other users" : "its group") + " (mode " + mode +
                   "): make it private, e.g. chmod 600 '" + path + "'";
    }
    return ReadPasswordFrom(file.get(), "'" + path + "'", password, error);
}

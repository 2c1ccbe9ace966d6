// Helpers for the tests of the registry stand-in and of the settings built on it.
//
//   ScopedHive    a private hive: ENLISTOR_REGISTRY points into a fresh temporary directory for the object's life.
//   RunAsNobody   runs a piece of the test in a forked child that (when root) has dropped to uid/gid 65534 with no
//                 supplementary groups, and returns what the child reports; the OS then really refuses access.
//   RunInChild    the same without the privilege drop (for limits that must not touch the test process).
//   OpenHiveToAll widens every directory of a hive to 0755 and every file to 0644, as a hive from before the hive was
//                 kept private would be, so tests can show what the operating system's rights decide for others.
//   SetValue, GetValue  raw access to one value through the Win32 calls.
#pragma once

#include "platform/registry/Registry.h"

#include "tests/support/TestSupport.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace enlistor::test {

class ScopedHive {
public:
    ScopedHive() : m_root(m_dir.path() / "hive") {
        m_dir.OpenToAll();
        if (const char* previous = std::getenv("ENLISTOR_REGISTRY"))
            m_previous = previous;
        ::setenv("ENLISTOR_REGISTRY", m_root.c_str(), 1);
    }
    ~ScopedHive() {
        if (m_previous)
            ::setenv("ENLISTOR_REGISTRY", m_previous->c_str(), 1);
        else
            ::unsetenv("ENLISTOR_REGISTRY");
    }
    ScopedHive(const ScopedHive&) = delete;
    ScopedHive& operator=(const ScopedHive&) = delete;

    const std::filesystem::path& root() const { return m_root; }
    std::filesystem::path localMachine() const { return m_root / "HKEY_LOCAL_MACHINE"; }

private:
    TempDir m_dir;
    std::filesystem::path m_root;
    std::optional<std::string> m_previous;
};

// The child's report, or a text starting with "child failed" when it could not drop privileges or died.
inline std::string RunInChild(const std::function<std::string()>& body, bool as_nobody) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0)
        return "child failed: pipe";
    const pid_t child = ::fork();
    if (child < 0)
        return "child failed: fork";
    if (child == 0) {
        ::close(pipe_fds[0]);
        std::string report;
        if (!as_nobody) {
            report = body();
        } else if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                                        ::setresuid(65534, 65534, 65534) != 0)) {
            report = "child failed: cannot drop to nobody";
        } else if (::geteuid() == 0) {
            report = "child failed: still root";
        } else {
            report = body();
        }
        const char* p = report.data();
        std::size_t left = report.size();
        while (left > 0) {
            const ssize_t put = ::write(pipe_fds[1], p, left);
            if (put <= 0)
                break;
            p += put;
            left -= static_cast<std::size_t>(put);
        }
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string report;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        report.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child failed: exit status " + std::to_string(status);
    return report;
}

inline std::string RunAsNobody(const std::function<std::string()>& body) {
    return RunInChild(body, true);
}

inline void OpenHiveToAll(const ScopedHive& hive) {
    namespace fs = std::filesystem;
    fs::permissions(hive.root(), fs::perms(0755), fs::perm_options::replace);
    for (const auto& entry : fs::recursive_directory_iterator(hive.root())) {
        if (entry.is_symlink())
            continue;
        fs::permissions(entry.path(), fs::perms(entry.is_directory() ? 0755 : 0644), fs::perm_options::replace);
    }
}

inline LONG SetValue(const char* keyPath, const char* name, DWORD type, const std::vector<std::uint8_t>& data) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                  &key, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    (void)RegCloseKey(key);
    return status;
}

inline LONG SetText(const char* keyPath, const char* name, DWORD type, const std::string& text) {
    return SetValue(keyPath, name, type, std::vector<std::uint8_t>(text.begin(), text.end()));
}

struct StoredValue {
    LONG status = -1;
    DWORD type = 0;
    std::vector<std::uint8_t> data;
};

inline StoredValue GetValue(const char* keyPath, const char* name) {
    StoredValue result;
    HKEY key = nullptr;
    result.status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key);
    if (result.status != ERROR_SUCCESS)
        return result;
    DWORD size = 0;
    result.status = RegQueryValueExA(key, name, nullptr, &result.type, nullptr, &size);
    if (result.status == ERROR_SUCCESS) {
        result.data.resize(size);
        result.status = RegQueryValueExA(key, name, nullptr, &result.type, result.data.data(), &size);
        result.data.resize(size);
    }
    (void)RegCloseKey(key);
    return result;
}

inline std::string AsText(const std::vector<std::uint8_t>& data) {
    return std::string(data.begin(), data.end());
}

} // namespace enlistor::test

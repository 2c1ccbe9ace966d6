// GetComputerNameA in UTS namespaces whose host name the test sets.
#include "platform/net/ComputerName.h"
#include "tests/net/NetNamespace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

// Runs `call` in a forked child that has its own UTS namespace with the given host name; returns what it reports.
std::string with_host_name(const std::string& hostName, const std::function<std::string()>& call) {
    int fds[2];
    if (::pipe(fds) != 0)
        return "<pipe failed>";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        std::string result;
        if (::unshare(CLONE_NEWUTS) != 0)
            result = "<unshare refused: " + std::string(std::strerror(errno)) + ">";
        else if (::sethostname(hostName.data(), hostName.size()) != 0)
            result = "<sethostname refused: " + std::string(std::strerror(errno)) + ">";
        else
            result = call();
        const bool ok = ::write(fds[1], result.data(), result.size()) == static_cast<ssize_t>(result.size());
        ::_exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    std::string result;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof(buffer))) > 0;)
        result.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return result;
}

// The call as the registration makes it: a 256-character buffer of which 255 are offered.
std::string registration_call() {
    char buffer[256];
    std::memset(buffer, 0xbd, sizeof(buffer));
    buffer[0] = '\0';
    DWORD size = 255;
    SetLastError(0);
    const BOOL ok = GetComputerNameA(buffer, &size);
    return std::to_string(ok) + "|" + (ok ? std::string(buffer) : "") + "|" + std::to_string(size) + "|" +
           std::to_string(GetLastError());
}

class ComputerName : public testing::Test {
protected:
    void SetUp() override {
        const std::string probe = with_host_name("probe", [] { return std::string("ok"); });
        if (probe != "ok")
            GTEST_SKIP() << "skipped: no UTS namespace here " << probe;
    }
};

TEST_F(ComputerName, HostNameWithDomainGivesItsFirstLabel) {
    // "alpha.example.com" is the machine "alpha"; the size returned excludes the terminator.
    EXPECT_EQ(with_host_name("alpha.example.com", registration_call), "1|alpha|5|0");
}

TEST_F(ComputerName, HostNameWithoutDomainIsTheNameItself) {
    // A single-label host name is returned whole.
    EXPECT_EQ(with_host_name("bravo-7", registration_call), "1|bravo-7|7|0");
}

TEST_F(ComputerName, LongestLabelFitsTheRegistrationBuffer) {
    // A 64-character host name (the kernel's limit) comes back whole through the registration's buffer.
    const std::string name(64, 'n');
    EXPECT_EQ(with_host_name(name, registration_call), "1|" + name + "|64|0");
}

TEST_F(ComputerName, TooSmallBufferFailsWithTheSizeNeededAndLeavesTheBufferAlone) {
    // ERROR_BUFFER_OVERFLOW with the size needed, terminator included; an exact fit succeeds.
    const std::string result = with_host_name("charlie.example", [] {
        char buffer[16];
        std::memset(buffer, 0xbd, sizeof(buffer));
        DWORD size = 7; // "charlie" needs 8
        SetLastError(0);
        const BOOL small = GetComputerNameA(buffer, &size);
        const DWORD lastError = GetLastError();
        bool untouched = true;
        for (char c : buffer)
            untouched = untouched && static_cast<unsigned char>(c) == 0xbd;
        std::string out = std::to_string(small) + "|" + std::to_string(size) + "|" + std::to_string(lastError) + "|" +
                          (untouched ? "untouched" : "written");
        DWORD exact = size;
        const BOOL fits = GetComputerNameA(buffer, &exact);
        return out + "|" + std::to_string(fits) + "|" + std::string(buffer) + "|" + std::to_string(exact);
    });
    EXPECT_EQ(result, "0|8|111|untouched|1|charlie|7");
}

TEST_F(ComputerName, UnsetHostNameCannotBeRead) {
    // The kernel's "(none)" is no name: the call fails, and the registration then stores the empty name.
    EXPECT_EQ(with_host_name("(none)", registration_call), "0||255|2");
}

TEST(ComputerNameArguments, NullArgumentsAreInvalid) {
    // Neither a missing buffer nor a missing size is written through.
    char buffer[8];
    DWORD size = sizeof(buffer);
    SetLastError(0);
    EXPECT_FALSE(GetComputerNameA(nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(size, sizeof(buffer));
    EXPECT_FALSE(GetComputerNameA(buffer, nullptr));
}

} // namespace

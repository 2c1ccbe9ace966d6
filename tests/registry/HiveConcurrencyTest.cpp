#include "platform/registry/Registry.h"

#include "tests/registry/HiveTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace enlistor::test;

namespace {

// Runs bodies in forked children released together; returns their exit codes (0 when a body returned true).
std::vector<int> run_together(const std::vector<std::function<bool()>>& bodies) {
    int gate[2];
    if (::pipe(gate) != 0)
        return {};
    std::vector<pid_t> children;
    for (const auto& body : bodies) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(gate[1]);
            char go;
            while (::read(gate[0], &go, 1) < 0 && errno == EINTR) {
            }
            ::_exit(body() ? 0 : 1);
        }
        children.push_back(child);
    }
    ::close(gate[0]);
    ::close(gate[1]); // end of file releases every child at once
    std::vector<int> codes;
    for (pid_t child : children) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    return codes;
}

std::size_t count_entries(const fs::path& dir, char prefix) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        count += entry.path().filename().string().front() == prefix ? 1 : 0;
    return count;
}

constexpr int writes_per_process = 1000;
constexpr int values_per_process = 200;

std::string value_name(int process, int index) {
    return "P" + std::to_string(process) + "-" + std::to_string(index % values_per_process);
}
std::string content(int process, int write) {
    return std::to_string(process) + ":" + std::to_string(write);
}

TEST(HiveConcurrency, TwoWritersOfDifferentValuesOfOneKeyLoseNothing) {
    // Two processes write their own values of one key thousands of times (creating and replacing them); each reads
    // its writes back at once, and at the end every value holds its last write and no temporary is left.
    ScopedHive hive;
    ASSERT_EQ(SetText("SOFTWARE\\Velmora\\General", "Seed", REG_SZ, "seed"), ERROR_SUCCESS);
    std::vector<std::function<bool()>> writers;
    for (int process = 0; process < 2; ++process) {
        writers.push_back([process] {
            for (int write = 0; write < writes_per_process; ++write) {
                const std::string name = value_name(process, write);
                if (SetText("SOFTWARE\\Velmora\\General", name.c_str(), REG_SZ, content(process, write)) !=
                    ERROR_SUCCESS)
                    return false;
                const StoredValue back = GetValue("SOFTWARE\\Velmora\\General", name.c_str());
                if (back.status != ERROR_SUCCESS || AsText(back.data) != content(process, write))
                    return false;
            }
            return true;
        });
    }
    EXPECT_EQ(run_together(writers), (std::vector<int>{0, 0}));

    for (int process = 0; process < 2; ++process) {
        for (int index = 0; index < values_per_process; ++index) {
            const int last_write = writes_per_process - values_per_process + index;
            const StoredValue value = GetValue("SOFTWARE\\Velmora\\General", value_name(process, index).c_str());
            ASSERT_EQ(value.status, ERROR_SUCCESS) << value_name(process, index);
            EXPECT_EQ(AsText(value.data), content(process, last_write));
        }
    }
    const fs::path key = hive.localMachine() / "SOFTWARE" / "Velmora" / "General";
    EXPECT_EQ(count_entries(key, '@'), 2u * values_per_process + 1);
    EXPECT_EQ(count_entries(key, '.'), 1u); // the lock; no temporary left
}

TEST(HiveConcurrency, CreatorsOfNamesDifferingOnlyInCaseMakeOneKeyAndOneValue) {
    // Racing creations of "K<i>" and "k<i>" (and of values "Value" and "VALUE") give one key with one value each.
    ScopedHive hive;
    constexpr int keys = 300;
    std::vector<std::function<bool()>> creators;
    for (int process = 0; process < 2; ++process) {
        creators.push_back([process] {
            for (int i = 0; i < keys; ++i) {
                const std::string path = std::string("Race\\") + (process == 0 ? "K" : "k") + std::to_string(i);
                if (SetText(path.c_str(), process == 0 ? "Value" : "VALUE", REG_SZ, std::to_string(process)) !=
                    ERROR_SUCCESS)
                    return false;
            }
            return true;
        });
    }
    EXPECT_EQ(run_together(creators), (std::vector<int>{0, 0}));

    std::size_t key_count = 0;
    for (const auto& entry : fs::directory_iterator(hive.localMachine() / "Race")) {
        if (!entry.is_directory())
            continue;
        ++key_count;
        EXPECT_EQ(count_entries(entry.path(), '@'), 1u) << entry.path();
    }
    EXPECT_EQ(key_count, static_cast<std::size_t>(keys));
    for (int i = 0; i < keys; ++i) {
        const std::string path = "RACE\\k" + std::to_string(i);
        const StoredValue value = GetValue(path.c_str(), "value");
        EXPECT_EQ(value.status, ERROR_SUCCESS);
        EXPECT_TRUE(AsText(value.data) == "0" || AsText(value.data) == "1");
    }
}

} // namespace

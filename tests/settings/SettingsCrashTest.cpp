#include "settings/DatabaseSettings.h"
#include "settings/VLReg.h"

#include "tests/registry/HiveTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace enlistor::test;

namespace {

constexpr int kills = 200;
constexpr std::array<const char*, 5> value_names = {"DatabaseServer", "DBServerIP", "DatabaseName", "DBUserID",
                                                    "DBUserPassword"};

// The five fields of generation g; DatabaseName is longer than 255 characters and the password longer than 44.
std::array<CString, 5> generation(long g) {
    const std::string n = std::to_string(g);
    return {"server-" + n, "ip-" + n, "name-" + n + "-" + std::string(280, 'n'), "user-" + n,
            "pw-" + n + "-" + std::string(50, 'p')};
}

// The generation a field holds, or -1 when its text is not exactly one generation's text.
long generation_of(std::size_t field, const CString& text) {
    const std::size_t dash = text.find('-');
    if (dash == CString::npos)
        return -1;
    const std::size_t end = text.find('-', dash + 1);
    long g = -1;
    try {
        g = std::stol(text.substr(dash + 1, end == CString::npos ? CString::npos : end - dash - 1));
    } catch (...) {
        return -1;
    }
    return generation(g)[field] == text ? g : -1;
}

[[noreturn]] void rewrite_forever(long first) {
    for (long g = first;; ++g) {
        const auto f = generation(g);
        SaveDatabaseSettings(f[0], f[1], f[2], f[3], f[4]);
    }
}

TEST(SettingsCrash, EveryValueReadsOldOrNewAfterAKillAtAnyMoment) {
    // A child rewrites all five settings in a loop and is SIGKILLed at random moments. After every kill each value
    // reads back whole as one generation's text (the password decrypted), values never go back, and since values
    // are written in order, they form a prefix at generation G+1 over a rest at G.
    ScopedHive hive;
    {
        const auto f = generation(0);
        ASSERT_TRUE(SaveDatabaseSettingsChecked(f[0], f[1], f[2], f[3], f[4], nullptr));
    }
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> delay_us(0, 60000);
    std::array<long, 5> previous{0, 0, 0, 0, 0};
    long next_first = 1;
    int kills_mid_save = 0;

    for (int kill = 0; kill < kills; ++kill) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            rewrite_forever(next_first);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));

        std::array<long, 5> now{};
        CString fields[5];
        ASSERT_TRUE(LoadDatabaseSettings(fields[0], fields[1], fields[2], fields[3], fields[4]));
        for (std::size_t i = 0; i < value_names.size(); ++i) {
            CVLReg reg;
            CString raw;
            ASSERT_TRUE(reg.ReadValue(raw, SettingsKeyPath(), value_names[i]))
                << "kill " << kill << ": " << value_names[i] << " unreadable: " << reg.m_strLastError;
            now[i] = generation_of(i, fields[i]);
            ASSERT_GE(now[i], previous[i]) << "kill " << kill << ": " << value_names[i] << " holds " << fields[i];
        }
        // Each value is its old text or one this child wrote; the child writes in order, so its values are a
        // prefix of the five, at generation G+1 then G.
        std::size_t written = 0;
        while (written < now.size() && now[written] >= next_first)
            ++written;
        for (std::size_t i = 0; i < now.size(); ++i) {
            if (i < written) {
                ASSERT_TRUE(now[i] == now[0] || now[i] == now[0] - 1) << "kill " << kill << " value " << i;
                ASSERT_LE(now[i], i == 0 ? now[0] : now[i - 1]) << "kill " << kill << " value " << i;
            } else {
                ASSERT_EQ(now[i], previous[i]) << "kill " << kill << " value " << i;
            }
        }
        kills_mid_save += written > 0 && (written < now.size() || now[0] != now[written - 1]) ? 1 : 0;
        previous = now;
        next_first = std::max(next_first, now[0] + 1);
    }
    // Only the lock, the five values and at most one unfinished temporary are in the key.
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(hive.localMachine() / "SOFTWARE" / "Velmora" / "General")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == ".lock" || name.starts_with(".tmp") || name.front() == '@') << name;
        entries += name.front() == '@' ? 1 : 0;
    }
    EXPECT_EQ(entries, value_names.size());
    std::printf("%d kills, %d of them between the first and the last value of a save, last generation %ld\n", kills,
                kills_mid_save, previous[0]);
}

} // namespace

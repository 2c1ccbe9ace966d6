#include "tests/settings/SettingsKillRounds.h"

#include "settings/DatabaseSettings.h"
#include "settings/VLReg.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace enlistor::test {

namespace {

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
    try {
        const long g = std::stol(text.substr(dash + 1, end == CString::npos ? CString::npos : end - dash - 1));
        return g >= 0 && generation(g)[field] == text ? g : -1;
    } catch (...) {
        return -1;
    }
}

[[noreturn]] void rewrite_forever(long first) {
    for (long g = first;; ++g) {
        const auto f = generation(g);
        (void)SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts(f[0], f[1], f[2], f[3], f[4]));
    }
}

std::string failure(int kill, std::size_t value, const char* what, const CString& text) {
    return "kill " + std::to_string(kill) + ": " + kSettingsValueNames[value] + " " + what + ": \"" +
           text.substr(0, 60) + "\"";
}

} // namespace

KillRoundsResult RunSettingsKillRounds(int kills, unsigned seed, const std::function<void(int)>& progress) {
    KillRoundsResult result;
    {
        const auto f = generation(0);
        SettingsStoreError error;
        if (!SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts(f[0], f[1], f[2], f[3], f[4]), &error)) {
            result.failure = "cannot store the first generation: " + error.text;
            return result;
        }
    }
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay_us(0, 60000);
    std::array<long, 5> previous{0, 0, 0, 0, 0};
    long next_first = 1;
    for (int kill = 0; kill < kills; ++kill) {
        const pid_t child = ::fork();
        if (child < 0) {
            result.failure = "cannot start a writer";
            return result;
        }
        if (child == 0)
            rewrite_forever(next_first);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        int status = 0;
        if (::kill(child, SIGKILL) != 0 || ::waitpid(child, &status, 0) != child || !WIFSIGNALED(status)) {
            result.failure = "kill " + std::to_string(kill) + ": the writer did not die by the signal";
            return result;
        }

        CString fields[5];
        DatabaseSettingsValue loaded;
        (void)LoadDatabaseSettingsValue(loaded);
        loaded.CopyTo(fields[0], fields[1], fields[2], fields[3], fields[4]);
        std::array<long, 5> now{};
        for (std::size_t i = 0; i < kSettingsValueNames.size(); ++i) {
            CVLReg reg;
            CString raw;
            if (!reg.ReadValue(raw, SettingsKeyPath(), kSettingsValueNames[i])) {
                result.failure = failure(kill, i, "is unreadable", reg.m_strLastError);
                return result;
            }
            now[i] = generation_of(i, fields[i]);
            if (now[i] < 0 || now[i] < previous[i]) {
                result.failure = failure(kill, i, now[i] < 0 ? "is not whole" : "went back", fields[i]);
                return result;
            }
        }
        // The writer's values are a prefix of the five, at generation G+1 then G; the rest are as before.
        std::size_t written = 0;
        while (written < now.size() && now[written] >= next_first)
            ++written;
        for (std::size_t i = 0; i < now.size(); ++i) {
            const bool in_order =
                i < written ? (now[i] == now[0] || now[i] == now[0] - 1) && now[i] <= (i == 0 ? now[0] : now[i - 1])
                            : now[i] == previous[i];
            if (!in_order) {
                result.failure = failure(kill, i, "is out of order", fields[i]);
                return result;
            }
        }
        result.killsMidSave += written > 0 && (written < now.size() || now[0] != now[written - 1]) ? 1 : 0;
        previous = now;
        next_first = std::max(next_first, now[0] + 1);
        result.kills = kill + 1;
        result.lastGeneration = previous[0];
        if (progress)
            progress(result.kills);
    }
    return result;
}

} // namespace enlistor::test

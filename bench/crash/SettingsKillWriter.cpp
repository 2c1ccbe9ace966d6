// Kills a settings writer at random moments and checks the store after every kill.
//   settings_kill_writer KILLS [SEED]
// ENLISTOR_REGISTRY must name a private, empty hive. A forked child rewrites all five database settings in a loop
// (each save one generation: every value carries the generation number; DatabaseName is longer than 255 characters
// and the password longer than 44) and is SIGKILLed after a random delay. After each kill every value must read
// back as exactly one generation's text (the password decrypted), no value may go back to an older generation, and
// as the five are written in order they must form a prefix at generation G+1 over a rest at G. Prints the count of
// kills, how many fell between the first and the last value of a save, and the last generation; exits 1 on the
// first value that is not whole.
#include "settings/DatabaseSettings.h"
#include "settings/VLReg.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::array<const char*, 5> value_names = {"DatabaseServer", "DBServerIP", "DatabaseName", "DBUserID",
                                                    "DBUserPassword"};

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
        SaveDatabaseSettings(f[0], f[1], f[2], f[3], f[4]);
    }
}

int fail(int kill, const char* what, std::size_t value, const CString& text) {
    std::fprintf(stderr, "kill %d: %s %s: \"%.60s\"\n", kill, value_names[value], what, text.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::getenv("ENLISTOR_REGISTRY") == nullptr) {
        std::fprintf(stderr, "usage: ENLISTOR_REGISTRY=DIR %s KILLS [SEED]\n", argv[0]);
        return 2;
    }
    const int kills = std::atoi(argv[1]);
    std::mt19937 random(argc == 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 20240611u);
    // Up to about three saves' time, so kills land anywhere in a save and sometimes between saves.
    std::uniform_int_distribution<int> delay_us(0, 60000);

    {
        const auto f = generation(0);
        CString error;
        if (!SaveDatabaseSettingsChecked(f[0], f[1], f[2], f[3], f[4], &error)) {
            std::fprintf(stderr, "cannot store the first generation: %s\n", error.c_str());
            return 1;
        }
    }
    std::array<long, 5> previous{0, 0, 0, 0, 0};
    long next_first = 1;
    int kills_mid_save = 0;
    for (int kill = 0; kill < kills; ++kill) {
        const pid_t child = ::fork();
        if (child < 0) {
            std::perror("fork");
            return 1;
        }
        if (child == 0)
            rewrite_forever(next_first);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        int status = 0;
        if (::kill(child, SIGKILL) != 0 || ::waitpid(child, &status, 0) != child || !WIFSIGNALED(status)) {
            std::fprintf(stderr, "kill %d: the writer did not die by the signal\n", kill);
            return 1;
        }

        CString fields[5];
        (void)LoadDatabaseSettings(fields[0], fields[1], fields[2], fields[3], fields[4]);
        std::array<long, 5> now{};
        for (std::size_t i = 0; i < value_names.size(); ++i) {
            CVLReg reg;
            CString raw;
            if (!reg.ReadValue(raw, SettingsKeyPath(), value_names[i]))
                return fail(kill, "unreadable", i, reg.m_strLastError);
            now[i] = generation_of(i, fields[i]);
            if (now[i] < 0)
                return fail(kill, "is not whole", i, fields[i]);
            if (now[i] < previous[i])
                return fail(kill, "went back", i, fields[i]);
        }
        std::size_t written = 0;
        while (written < now.size() && now[written] >= next_first)
            ++written;
        for (std::size_t i = 0; i < now.size(); ++i) {
            const bool in_order =
                i < written ? (now[i] == now[0] || now[i] == now[0] - 1) && now[i] <= (i == 0 ? now[0] : now[i - 1])
                            : now[i] == previous[i];
            if (!in_order)
                return fail(kill, "is out of order", i, fields[i]);
        }
        kills_mid_save += written > 0 && (written < now.size() || now[0] != now[written - 1]) ? 1 : 0;
        previous = now;
        next_first = std::max(next_first, now[0] + 1);
        if ((kill + 1) % 1000 == 0)
            std::fprintf(stderr, "%d kills\n", kill + 1);
    }
    std::printf("%d kills, every value whole after each; %d kills between the first and the last value of a save; "
                "last generation %ld\n",
                kills, kills_mid_save, previous[0]);
    return 0;
}

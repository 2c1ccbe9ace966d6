// Kills a settings writer at random moments and checks the store after every kill (tests/settings/SettingsKillRounds.h
// says what is checked).
//   settings_kill_writer KILLS [SEED]
// ENLISTOR_REGISTRY must name a private, empty hive. Prints the count of kills, how many fell between the first and
// the last value of a save, and the last generation; exits 1 on the first value that is not whole.
#include "tests/settings/SettingsKillRounds.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::getenv("ENLISTOR_REGISTRY") == nullptr) {
        std::fprintf(stderr, "usage: ENLISTOR_REGISTRY=DIR %s KILLS [SEED]\n", argv[0]);
        return 2;
    }
    const int kills = std::atoi(argv[1]);
    const unsigned seed = argc == 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 20240611u;
    const auto result = enlistor::test::RunSettingsKillRounds(kills, seed, [](int done) {
        if (done % 1000 == 0)
            std::fprintf(stderr, "%d kills\n", done);
    });
    if (!result.failure.empty()) {
        std::fprintf(stderr, "%s\n", result.failure.c_str());
        return 1;
    }
    std::printf("%d kills, every value whole after each; %d kills between the first and the last value of a save; "
                "last generation %ld\n",
                result.kills, result.killsMidSave, result.lastGeneration);
    return 0;
}

// Kill rounds over the settings store: a forked writer rewrites all five database settings in a loop (each save one
// generation: every value carries the generation number; DatabaseName is longer than 255 characters and the password
// longer than 44) and is SIGKILLed after a random delay of up to about three saves. After each kill every value must
// read back as exactly one generation's text (the password decrypted), no value may go back to an older generation,
// and as the five are written in order they must form a prefix at generation G+1 over a rest at G.
// Used by the crash test (a few hundred kills) and by the kill tool (thousands, by hand).
#pragma once

#include <array>
#include <functional>
#include <string>

namespace enlistor::test {

inline constexpr std::array<const char*, 5> kSettingsValueNames = {"DatabaseServer", "DBServerIP", "DatabaseName",
                                                                   "DBUserID", "DBUserPassword"};

struct KillRoundsResult {
    int kills = 0;        // kills made and checked
    int killsMidSave = 0; // of them, kills between the first and the last value of a save
    long lastGeneration = 0;
    std::string failure; // empty when every value was whole after every kill
};

// Stores generation 0 in the hive ENLISTOR_REGISTRY names, then makes kills rounds with delays drawn from seed;
// stops at the first failure. progress, when given, is called after each round with the count so far.
KillRoundsResult RunSettingsKillRounds(int kills, unsigned seed, const std::function<void(int)>& progress = {});

} // namespace enlistor::test

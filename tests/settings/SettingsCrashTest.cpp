#include "tests/registry/HiveTestSupport.h"
#include "tests/settings/SettingsKillRounds.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;
using namespace enlistor::test;

namespace {

TEST(SettingsCrash, EveryValueReadsOldOrNewAfterAKillAtAnyMoment) {
    // A child rewrites all five settings in a loop and is SIGKILLed at random moments; after every kill each value
    // reads back whole as one generation's text, values never go back, and they form a prefix at G+1 over G.
    ScopedHive hive;
    const KillRoundsResult result = RunSettingsKillRounds(200, 20240611);
    ASSERT_EQ(result.failure, "");
    ASSERT_EQ(result.kills, 200);
    // Only the lock, the five values and at most one unfinished temporary are in the key.
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(hive.localMachine() / "SOFTWARE" / "Velmora" / "General")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == ".lock" || name.starts_with(".tmp") || name.front() == '@') << name;
        entries += name.front() == '@' ? 1 : 0;
    }
    EXPECT_EQ(entries, kSettingsValueNames.size());
    std::printf("%d kills, %d of them between the first and the last value of a save, last generation %ld\n",
                result.kills, result.killsMidSave, result.lastGeneration);
}

} // namespace

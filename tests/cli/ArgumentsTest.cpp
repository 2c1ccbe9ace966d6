#include "cli/Arguments.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

ParsedArguments parse(std::vector<const char*> args) {
    args.insert(args.begin(), "enlistor");
    return ParseArguments(static_cast<int>(args.size()), args.data());
}

// Every setting option is taken in both spellings, and unset ones stay unset so the stored value is kept.
TEST(ParseArguments, RegisterTakesEachSettingInBothSpellings) {
    const ParsedArguments p = parse({"register", "--server", "db01", "--ip=10.0.0.5", "--database", "", "--login=sa",
                                     "--password-file", "-", "--json"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.command, CommandKind::Register);
    EXPECT_EQ(p.options.server, "db01");
    EXPECT_EQ(p.options.serverIP, "10.0.0.5");
    EXPECT_EQ(p.options.database, ""); // an empty value is a value: it replaces the stored one
    EXPECT_EQ(p.options.login, "sa");
    EXPECT_EQ(p.options.passwordFile, "-");
    EXPECT_TRUE(p.options.json);

    const ParsedArguments bare = parse({"register"});
    ASSERT_TRUE(bare.ok);
    EXPECT_FALSE(bare.options.server || bare.options.serverIP || bare.options.database || bare.options.login ||
                 bare.options.passwordFile || bare.options.json);
}

// The commands and the informational options.
TEST(ParseArguments, CommandsHelpAndVersion) {
    EXPECT_EQ(parse({"check"}).options.command, CommandKind::Check);
    EXPECT_TRUE(parse({"check", "--json"}).options.json);
    EXPECT_EQ(parse({"--help"}).options.command, CommandKind::Help);
    EXPECT_EQ(parse({"help"}).options.command, CommandKind::Help);
    EXPECT_EQ(parse({"register", "-h"}).options.command, CommandKind::Help);
    EXPECT_EQ(parse({"--version"}).options.command, CommandKind::Version);
    EXPECT_EQ(parse({"-V"}).options.command, CommandKind::Version);
}

struct refused_row {
    const char* name;
    std::vector<const char*> args;
};

class ParseArgumentsRefuses : public testing::TestWithParam<refused_row> {};

// Wrong command lines are refused with a reason, and the reason never repeats an argument's value: a value in the
// wrong place may be a password.
TEST_P(ParseArgumentsRefuses, WithoutEchoingValues) {
    const ParsedArguments p = parse(GetParam().args);
    EXPECT_FALSE(p.ok);
    EXPECT_FALSE(p.error.empty());
    EXPECT_EQ(p.error.find("S3cret"), CString::npos) << p.error;
}

INSTANTIATE_TEST_SUITE_P(Rows, ParseArgumentsRefuses,
                         testing::Values(refused_row{"NoCommand", {}}, refused_row{"UnknownCommand", {"S3cret"}},
                                         refused_row{"UnknownOption", {"register", "--pasword=S3cret"}},
                                         refused_row{"PasswordOption", {"register", "--password", "S3cret"}},
                                         refused_row{"PasswordOptionJoined", {"register", "--password=S3cret"}},
                                         refused_row{"StrayValue", {"register", "--login", "sa", "S3cret"}},
                                         refused_row{"MissingValue", {"register", "--server"}},
                                         refused_row{"Repeated", {"register", "--server", "a", "--server=S3cret"}},
                                         refused_row{"CheckTakesNoSettings", {"check", "--server", "S3cret"}},
                                         refused_row{"JsonTwice", {"check", "--json", "--json"}},
                                         refused_row{"UnknownTopLevelOption", {"--bogus=S3cret"}}),
                         [](const testing::TestParamInfo<refused_row>& info) { return info.param.name; });

// A refused command line that asked for JSON is still answered in JSON.
TEST(ParseArguments, RefusalRemembersJson) {
    EXPECT_TRUE(parse({"register", "--bogus", "--json"}).jsonRequested);
    EXPECT_FALSE(parse({"register", "--bogus"}).jsonRequested);
}

} // namespace

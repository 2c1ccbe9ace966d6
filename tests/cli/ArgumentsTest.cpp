#include "cli/Arguments.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace {

ParsedArguments parse(std::vector<const char*> args) {
    args.insert(args.begin(), "enlistor");
    return ParseArguments(static_cast<int>(args.size()), args.data());
}

// Every setting option is taken in both spellings, and unset ones stay unset so the stored value is kept.
TEST(ParseArguments, RegisterTakesEachSettingInBothSpellings) {
    const ParsedArguments p = parse({"register", "--server", "db01", "--ip=10.0.0.5", "--database", "", "--login=sa",
                                     "--password-file", "-", "--address=192.0.2.7", "--json"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.command, CommandKind::Register);
    EXPECT_EQ(p.options.server, "db01");
    EXPECT_EQ(p.options.serverIP, "10.0.0.5");
    EXPECT_EQ(p.options.database, ""); // an empty value is a value: it replaces the stored one
    EXPECT_EQ(p.options.login, "sa");
    EXPECT_EQ(p.options.passwordFile, "-");
    EXPECT_EQ(p.options.address, "192.0.2.7");
    EXPECT_TRUE(p.options.json);

    const ParsedArguments bare = parse({"register"});
    ASSERT_TRUE(bare.ok);
    EXPECT_FALSE(bare.options.server || bare.options.serverIP || bare.options.database || bare.options.login ||
                 bare.options.passwordFile || bare.options.address || bare.options.json);
}

// "--name=" is an empty value, not a request to take the next argument as the value.
TEST(ParseArguments, EmptyJoinedValueTakesNothingElse) {
    const ParsedArguments p = parse({"register", "--database=", "--json"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.database, "");
    EXPECT_TRUE(p.options.json);
}

// check and unregister take the same settings (for their connection) as register.
TEST(ParseArguments, EveryCommandTakesTheSettings) {
    for (const char* command : {"check", "unregister"}) {
        const ParsedArguments p =
            parse({command, "--server=db02", "--login", "ops", "--address", "2001:db8::1", "--json"});
        ASSERT_TRUE(p.ok) << command << ": " << p.error;
        EXPECT_EQ(p.options.server, "db02");
        EXPECT_EQ(p.options.login, "ops");
        EXPECT_EQ(p.options.address, "2001:db8::1");
        EXPECT_TRUE(p.options.json);
    }
    EXPECT_EQ(parse({"check"}).options.command, CommandKind::Check);
    EXPECT_EQ(parse({"unregister"}).options.command, CommandKind::Unregister);
}

// The informational options and commands.
TEST(ParseArguments, HelpAndVersion) {
    EXPECT_EQ(parse({"--help"}).options.command, CommandKind::Help);
    EXPECT_EQ(parse({"-h"}).options.command, CommandKind::Help);
    EXPECT_EQ(parse({"help"}).options.command, CommandKind::Help);
    EXPECT_EQ(parse({"register", "-h"}).options.command, CommandKind::Help);
    EXPECT_EQ(parse({"unregister", "--server", "x", "--help"}).options.command, CommandKind::Help);
    EXPECT_EQ(parse({"--version"}).options.command, CommandKind::Version);
    EXPECT_EQ(parse({"-V"}).options.command, CommandKind::Version);
}

struct address_row {
    const char* name;
    const char* given;
    const char* registered;
};

// Rows show as their names in test listings.
void PrintTo(const address_row& row, std::ostream* out) {
    *out << row.name;
}

class ParseArgumentsAddress : public testing::TestWithParam<address_row> {};

// --address takes an IPv4 or IPv6 literal and keeps its canonical text, the zone cut as the address rules cut it.
TEST_P(ParseArgumentsAddress, IsCanonical) {
    const ParsedArguments p = parse({"register", "--address", GetParam().given});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.address, GetParam().registered);
}

INSTANTIATE_TEST_SUITE_P(Rows, ParseArgumentsAddress,
                         testing::Values(address_row{"Ipv4", "198.18.0.1", "198.18.0.1"},
                                         address_row{"Ipv6UpperCaseLongForm", "2001:0DB8:0000:0000:0000:0000:0000:0001",
                                                     "2001:db8::1"},
                                         address_row{"Ipv6WithZone", "2001:db8::1%eth0", "2001:db8::1"},
                                         address_row{"Ipv6WithNumericZone", "2001:DB8:0::a:b%7", "2001:db8::a:b"},
                                         address_row{"Ipv4MappedIsTheIpv4Row", "::FFFF:192.0.2.1", "192.0.2.1"},
                                         address_row{"Ipv4NextToRefusedRanges", "223.255.255.254", "223.255.255.254"}),
                         [](const testing::TestParamInfo<address_row>& info) { return info.param.name; });

struct refused_row {
    const char* name;
    std::vector<const char*> args;
    const char* reason; // a part of the refusal
};

// Rows show as their names in test listings.
void PrintTo(const refused_row& row, std::ostream* out) {
    *out << row.name;
}

class ParseArgumentsRefuses : public testing::TestWithParam<refused_row> {};

// Wrong command lines are refused with a one-line reason, and the reason never repeats an argument's value: a value
// in the wrong place may be a password (every row's value is "S3cret").
TEST_P(ParseArgumentsRefuses, WithoutEchoingValues) {
    const ParsedArguments p = parse(GetParam().args);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find(GetParam().reason), CString::npos) << p.error;
    EXPECT_EQ(p.error.find("S3cret"), CString::npos) << p.error;
    EXPECT_EQ(p.error.find("3cr"), CString::npos) << p.error;
    EXPECT_EQ(p.error.find('\n'), CString::npos) << p.error;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseArgumentsRefuses,
    testing::Values(
        refused_row{"NoCommand", {}, "no command given"},
        refused_row{"JsonAlone", {"--json"}, "unknown option '--json'"},
        refused_row{"UnknownCommand", {"S3cret"}, "unknown command"},
        refused_row{"UnknownOption", {"register", "--pasword=S3cret"}, "unknown option '--pasword'"},
        refused_row{"UnknownShortOption", {"check", "-x"}, "unknown option '-x'"},
        refused_row{"ValueLikeOption", {"register", "--login", "sa", "-S3cret"}, "unknown option"},
        refused_row{"ValueLikeLongOption", {"register", "--S3cret=1"}, "unknown option"},
        refused_row{"UnknownTopLevelOption", {"--bogus=S3cret"}, "unknown option '--bogus'"},
        refused_row{"PasswordOption", {"register", "--password", "S3cret"}, "--password-file"},
        refused_row{"PasswordOptionJoined", {"register", "--password=S3cret"}, "--password-file"},
        refused_row{"PasswordShortAttached", {"unregister", "-pS3cret"}, "--password-file"},
        refused_row{"PwdOption", {"check", "--pwd", "S3cret"}, "--password-file"},
        refused_row{"PassOptionFirst", {"--pass=S3cret", "register"}, "--password-file"},
        refused_row{"StrayValue", {"register", "--login", "sa", "S3cret"}, "unexpected argument"},
        refused_row{"StrayAfterHelp", {"--help", "S3cret"}, "unknown command"},
        refused_row{"SecondCommand", {"register", "check"}, "unexpected argument"},
        refused_row{"AfterSeparator", {"register", "--", "S3cret"}, "unexpected argument"},
        refused_row{"MissingValue", {"register", "--server"}, "option '--server' needs a value"},
        refused_row{"Repeated", {"register", "--server", "a", "--server=S3cret"}, "option '--server' given twice"},
        refused_row{"RepeatedEmpty", {"check", "--login=", "--login", "S3cret"}, "option '--login' given twice"},
        refused_row{"JsonTwice", {"check", "--json", "--json"}, "option '--json' given twice"},
        refused_row{"JsonWithValue", {"check", "--json=S3cret"}, "'--json' takes no value"},
        refused_row{"HostNameAddress", {"register", "--address", "S3cret.example"}, "'--address' needs an IPv4"},
        refused_row{"AddressWithPrefix", {"register", "--address=192.0.2.0/S3cret"}, "'--address' needs an IPv4"},
        refused_row{"ShortIpv4Address", {"unregister", "--address", "10.1"}, "'--address' needs an IPv4"},
        refused_row{"EmptyAddress", {"check", "--address="}, "'--address' needs an IPv4"},
        refused_row{"ServerTakesNoOption", {"check", "--server", "--json"}, "option '--server' needs a value"},
        refused_row{"LoginTakesNoOption", {"register", "--login", "--password-file=-"}, "'--login' needs a value"},
        refused_row{"UnspecifiedIpv4", {"register", "--address", "0.0.0.0"}, "unspecified address"},
        refused_row{"ThisNetworkIpv4", {"register", "--address", "0.1.2.3"}, "unspecified address"},
        refused_row{"UnspecifiedIpv6", {"register", "--address", "::"}, "unspecified address"},
        refused_row{"LoopbackIpv4", {"register", "--address", "127.0.0.2"}, "loopback address"},
        refused_row{"LoopbackIpv6", {"check", "--address", "0:0:0:0:0:0:0:1"}, "loopback address"},
        refused_row{"MappedLoopback", {"check", "--address", "::ffff:127.0.0.1"}, "loopback address"},
        refused_row{"MulticastIpv4", {"register", "--address", "224.0.0.1"}, "multicast address"},
        refused_row{"MulticastIpv6", {"register", "--address", "ff02::1"}, "multicast address"},
        refused_row{"Broadcast", {"register", "--address", "255.255.255.255"}, "broadcast address"},
        refused_row{"LinkLocalIpv6", {"register", "--address", "fe80::1"}, "link-local address"},
        refused_row{"LinkLocalIpv6WithZone", {"register", "--address", "fe80::1%eth0"}, "link-local address"},
        refused_row{"LinkLocalIpv4", {"unregister", "--address", "169.254.7.7"}, "link-local address"},
        refused_row{"VersionWithCommand", {"-V", "register"}, "'--version' takes no command"},
        refused_row{"OptionBeforeCommand", {"--server", "S3cret", "register"}, "unknown option '--server'"}),
    [](const testing::TestParamInfo<refused_row>& info) { return info.param.name; });

// A value that starts with "--" is taken when it is written after "=".
TEST(ParseArguments, DashedValueAfterEquals) {
    const ParsedArguments p = parse({"check", "--server=--json"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.server, "--json");
    EXPECT_FALSE(p.options.json);
}

// A refused command line that asked for JSON is still answered in JSON.
TEST(ParseArguments, RefusalRemembersJson) {
    EXPECT_TRUE(parse({"register", "--bogus", "--json"}).jsonRequested);
    EXPECT_FALSE(parse({"register", "--bogus"}).jsonRequested);
}

} // namespace

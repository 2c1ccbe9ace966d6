#include "cli/Arguments.h"

#include "platform/data/Transport.h"
#include "platform/net/AddressText.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct value_option {
    const char* name;
    std::optional<CString> CommandLineOptions::*member;
};

// The same settings for every command: register stores them, check and unregister connect with them.
constexpr value_option kValueOptions[] = {
    {"--server", &CommandLineOptions::server},
    {"--ip", &CommandLineOptions::serverIP},
    {"--database", &CommandLineOptions::database},
    {"--login", &CommandLineOptions::login},
    {"--password-file", &CommandLineOptions::passwordFile},
    {"--address", &CommandLineOptions::address},
    {"--ca-file", &CommandLineOptions::caFile},
    {"--trust-cert", &CommandLineOptions::trustCert},
};

struct command_name {
    const char* name;
    CommandKind kind;
};

constexpr command_name kCommands[] = {
    {"register", CommandKind::Register},
    {"check", CommandKind::Check},
    {"unregister", CommandKind::Unregister},
};

constexpr char kPasswordRefusal[] = "the password is never taken from the command line: use --password-file FILE, or "
                                    "--password-file - to read it from standard input";

ParsedArguments refuse(ParsedArguments parsed, CString error) {
    parsed.ok = false;
    parsed.error = std::move(error);
    return parsed;
}

// The spellings people try for a password option, alone or with the value attached ("--password=x", "-px").
bool is_password_option(std::string_view argument) {
    const std::string_view name = argument.substr(0, argument.find('='));
    return name == "--password" || name == "--pwd" || name == "--pass" ||
           (argument.size() >= 2 && argument[0] == '-' && argument[1] == 'p');
}

// Whether an unknown option's name may be repeated in the refusal: only what plainly is an option's name ("-x",
// "--lower-case-name"), never something that may be a misplaced value such as "-S3cret".
bool is_quotable_option_name(std::string_view name) {
    if (name.size() == 2 && name[0] == '-')
        return (name[1] >= 'a' && name[1] <= 'z') || (name[1] >= 'A' && name[1] <= 'Z');
    if (name.size() < 3 || name.size() > 32 || name.substr(0, 2) != "--" || name[2] < 'a' || name[2] > 'z')
        return false;
    return std::all_of(name.begin() + 2, name.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

// The refusal for an argument nothing took.
CString describe_leftover(std::string_view argument, bool commandSeen) {
    if (argument.size() > 1 && argument[0] == '-') {
        const std::string_view name = argument.substr(0, argument.find('='));
        if (is_quotable_option_name(name))
            return "unknown option '" + CString(name) + "'";
        return "unknown option (not repeated here: it may be a value in the wrong place)";
    }
    if (!commandSeen)
        return "unknown command (expected register, check or unregister)";
    return "unexpected argument (options start with --, and each takes one value)";
}

} // namespace

ParsedArguments ParseArguments(int argc, const char* const* argv) {
    ParsedArguments parsed;
    // CLI11 takes the arguments last first. "--name=" is split into the name and an empty value, which CLI11 would
    // otherwise take from the next argument.
    std::vector<std::string> arguments;
    for (int i = argc - 1; i >= 1; --i) {
        const std::string_view argument = argv[i];
        if (argument == "--json")
            parsed.jsonRequested = true;
        if (argument.size() > 3 && argument.substr(0, 2) == "--" && argument.back() == '=') {
            arguments.emplace_back();
            arguments.emplace_back(argument.substr(0, argument.size() - 1));
        } else {
            arguments.emplace_back(argument);
        }
    }
    if (argc < 2)
        return refuse(parsed, "no command given");
    // "--server --json" is an option without its value, not a server called "--json"; a value that starts with "--"
    // is written "--server=--x".
    for (int i = 1; i + 1 < argc; ++i)
        for (const value_option& option : kValueOptions)
            if (std::string_view(argv[i]) == option.name && std::string_view(argv[i + 1]).substr(0, 2) == "--")
                return refuse(parsed, "option '" + CString(option.name) + "' needs a value (write " + option.name +
                                          "=VALUE for a value that starts with --)");
    for (int i = 1; i < argc; ++i)
        if (is_password_option(argv[i]))
            return refuse(parsed, kPasswordRefusal);

    // Nothing here prints or exits: help and version are flags read afterwards, unknown arguments are kept as
    // extras and refused below in words that never quote a value.
    CLI::App app("", "enlistor");
    app.set_help_flag();
    app.allow_extras();
    app.require_subcommand(0, 1);
    CLI::Option* const topHelp = app.add_flag("-h,--help");
    CLI::Option* const version = app.add_flag("-V,--version");
    CLI::App* const helpCommand = app.add_subcommand("help");
    helpCommand->allow_extras();
    struct command_parser {
        CommandKind kind;
        CLI::App* app;
        CLI::Option* help;
        CLI::Option* json;
        CLI::Option* insecureLogin;
        std::vector<CLI::Option*> values;
    };
    std::vector<command_parser> commands;
    for (const command_name& command : kCommands) {
        // A command no argument names cannot be chosen: its parser is not built.
        if (std::find(arguments.begin(), arguments.end(), command.name) == arguments.end())
            continue;
        command_parser parser{command.kind, app.add_subcommand(command.name), nullptr, nullptr, nullptr, {}};
        parser.app->set_help_flag();
        parser.app->allow_extras();
        parser.help = parser.app->add_flag("-h,--help");
        parser.json = parser.app->add_flag("--json");
        parser.insecureLogin = parser.app->add_flag("--insecure-login");
        for (const value_option& option : kValueOptions)
            parser.values.push_back(
                parser.app->add_option(option.name)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll));
        commands.push_back(std::move(parser));
    }

    try {
        app.parse(arguments);
    } catch (const CLI::ArgumentMismatch&) {
        // An option that wants a value found none: it was the last argument.
        const std::string_view last = argv[argc - 1];
        for (const value_option& option : kValueOptions)
            if (last == option.name)
                return refuse(parsed, "option '" + CString(last) + "' needs a value");
        return refuse(parsed, "an option lacks its value");
    } catch (const CLI::Error&) {
        return refuse(parsed, "the arguments cannot be read");
    }

    const command_parser* chosen = nullptr;
    for (const command_parser& command : commands)
        if (command.app->parsed())
            chosen = &command;
    const std::vector<std::string> leftovers = app.remaining(true);
    if (!leftovers.empty())
        return refuse(parsed, describe_leftover(leftovers.front(), chosen || helpCommand->parsed()));

    CommandLineOptions& options = parsed.options;
    if (chosen) {
        options.command = chosen->kind;
        for (std::size_t k = 0; k < chosen->values.size(); ++k) {
            const CLI::Option& option = *chosen->values[k];
            if (option.count() > 1)
                return refuse(parsed, "option '" + CString(kValueOptions[k].name) + "' given twice");
            if (option.count() == 1)
                options.*(kValueOptions[k].member) = CString(option.results().front());
        }
        if (chosen->json->count() > 1)
            return refuse(parsed, "option '--json' given twice");
        if (chosen->json->count() == 1 && chosen->json->results().front() != "true")
            return refuse(parsed, "option '--json' takes no value");
        options.json = chosen->json->count() == 1;
        if (chosen->insecureLogin->count() > 1)
            return refuse(parsed, "option '--insecure-login' given twice");
        if (chosen->insecureLogin->count() == 1 && chosen->insecureLogin->results().front() != "true")
            return refuse(parsed, "option '--insecure-login' takes no value");
        options.insecureLogin = chosen->insecureLogin->count() == 1;
        if (options.trustCert) {
            const std::optional<CString> pin = enlistor::ado::NormaliseSha256(*options.trustCert);
            if (!pin)
                return refuse(parsed, "option '--trust-cert' needs a SHA-256 fingerprint: 64 hex digits, with or "
                                      "without ':' between the pairs");
            options.trustCert = enlistor::ado::ColonSha256(*pin);
        }
        if (options.caFile) {
            if (options.caFile->empty())
                return refuse(parsed,
                              "option '--ca-file' needs the path of a CA bundle or of the server's certificate");
            std::error_code ignored;
            options.caFile = CString(std::filesystem::absolute(std::filesystem::path(*options.caFile), ignored));
        }
        if (options.address) {
            const RegistrableAddress address = CheckRegistrableAddress(*options.address);
            if (!address.text && address.literal)
                return refuse(parsed, CString("option '--address' needs an address the suite can reach this machine "
                                              "at: the value given ") +
                                          address.refusal);
            if (!address.text)
                return refuse(parsed, "option '--address' needs an IPv4 or IPv6 address literal, not a host name");
            options.address = *address.text;
        }
    }

    if (topHelp->count() > 0 || helpCommand->parsed() || (chosen && chosen->help->count() > 0))
        options.command = CommandKind::Help;
    else if (version->count() > 0 && chosen)
        return refuse(parsed, "option '--version' takes no command");
    else if (version->count() > 0)
        options.command = CommandKind::Version;
    else if (!chosen)
        return refuse(parsed, "no command given");
    parsed.ok = true;
    return parsed;
}

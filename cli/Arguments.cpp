#include "cli/Arguments.h"

#include <string_view>

namespace {

struct value_option {
    std::string_view name;
    std::optional<CString> CommandLineOptions::*member;
};

constexpr value_option kRegisterOptions[] = {
    {"--server", &CommandLineOptions::server},
    {"--ip", &CommandLineOptions::serverIP},
    {"--database", &CommandLineOptions::database},
    {"--login", &CommandLineOptions::login},
    {"--password-file", &CommandLineOptions::passwordFile},
};

ParsedArguments refuse(ParsedArguments parsed, CString error) {
    parsed.ok = false;
    parsed.error = std::move(error);
    return parsed;
}

bool is_password_option(std::string_view name) {
    return name == "--password" || name == "-p" || name == "--pwd" || name == "--pass";
}

} // namespace

ParsedArguments ParseArguments(int argc, const char* const* argv) {
    ParsedArguments parsed;
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--json")
            parsed.jsonRequested = true;

    if (argc < 2)
        return refuse(parsed, "no command given");
    const std::string_view command = argv[1];
    CommandLineOptions& options = parsed.options;
    if (command == "register") {
        options.command = CommandKind::Register;
    } else if (command == "check") {
        options.command = CommandKind::Check;
    } else if (command == "--help" || command == "-h" || command == "help") {
        options.command = CommandKind::Help;
    } else if (command == "--version" || command == "-V") {
        options.command = CommandKind::Version;
    } else if (!command.empty() && command[0] == '-') {
        return refuse(parsed, "unknown option '" + CString(command.substr(0, command.find('='))) + "'");
    } else {
        return refuse(parsed, "unknown command (expected register or check)");
    }
    const bool takesSettings = options.command == CommandKind::Register;
    const bool takesJson = options.command == CommandKind::Register || options.command == CommandKind::Check;

    for (int i = 2; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        if (argument == "--help" || argument == "-h") {
            options.command = CommandKind::Help;
            continue;
        }
        if (argument == "--json" && takesJson) {
            if (options.json)
                return refuse(parsed, "option '--json' given twice");
            options.json = true;
            continue;
        }
        if (is_password_option(name))
            return refuse(parsed, "the password is never taken from the command line: use --password-file FILE, or "
                                  "--password-file - to read it from standard input");
        const value_option* match = nullptr;
        if (takesSettings)
            for (const value_option& option : kRegisterOptions)
                if (name == option.name)
                    match = &option;
        if (!match) {
            if (!name.empty() && name[0] == '-')
                return refuse(parsed, "unknown option '" + CString(name) + "'");
            return refuse(parsed, "unexpected argument " + std::to_string(i) + " (options start with --)");
        }
        std::optional<CString>& target = options.*(match->member);
        if (target)
            return refuse(parsed, "option '" + CString(name) + "' given twice");
        if (equals != std::string_view::npos) {
            target = CString(argument.substr(equals + 1));
        } else if (i + 1 < argc) {
            target = CString(argv[++i]);
        } else {
            return refuse(parsed, "option '" + CString(name) + "' needs a value");
        }
    }
    parsed.ok = true;
    return parsed;
}

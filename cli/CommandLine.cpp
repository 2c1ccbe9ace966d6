#include "cli/CommandLine.h"

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Outcome.h"
#include "res/VersionInfo.h"

#include <cstdio>
#include <exception>

namespace {

constexpr char kUsage[] = "Usage: enlistor                           open the registration dialog\n"
                          "       enlistor register   [SETTINGS] [--address A] [--json]\n"
                          "       enlistor check      [SETTINGS] [--address A] [--json]\n"
                          "       enlistor unregister [SETTINGS] [--address A] [--json]\n"
                          "       enlistor --help | --version\n"
                          "SETTINGS: [--server S] [--ip IP] [--database D] [--login L] [--password-file FILE|-]\n";

constexpr char kHelp[] =
    "\n"
    "Enters this machine into the control-panel suite's server list without the dialog.\n"
    "\n"
    "Commands:\n"
    "  register    Store the given settings (values not given keep their stored ones), connect to the\n"
    "              suite's database and add this machine unless its address is already known. Prints\n"
    "              \"Server registered successfully\", or the error on standard error; after a failure\n"
    "              the settings stored before the command are put back.\n"
    "  check       Change nothing: show the settings (password masked), the provider and ODBC driver,\n"
    "              the address and computer name that would be registered, connect, run both duplicate\n"
    "              checks and say whether this machine is already registered.\n"
    "  unregister  Remove this machine's own pending row (its address and computer name) from the\n"
    "              registered servers; a machine already in the suite's server list is removed in the\n"
    "              suite, not here.\n"
    "  help        Show this help (also: enlistor COMMAND --help).\n"
    "\n"
    "Options (every command takes them; check and unregister use the settings for their connection and\n"
    "store nothing):\n"
    "  --server S           Database Server Name (a host name, or an ODBC data source name)\n"
    "  --ip IP              Database Server IP (stored and shown only)\n"
    "  --database D         Database Name\n"
    "  --login L            Database Login\n"
    "  --password-file F    read the Database Password from file F, or from standard input if F is -;\n"
    "                       one trailing line end is removed. The password is never taken from the\n"
    "                       command line or the environment; a file others can read gets a warning.\n"
    "  --address A          the address to register (or look for) instead of the one found on the\n"
    "                       network adapters: an IPv4 or IPv6 literal, a %zone suffix is dropped\n"
    "  --json               print one JSON object: command, outcome, exit_code, address,\n"
    "                       computer_name, error, cause\n"
    "  -h, --help           show this help\n"
    "  -V, --version        show the version\n"
    "Each option follows the command, at most once, as --option VALUE or --option=VALUE.\n"
    "\n"
    "Exit status (every command):\n"
    "  0  registered, already known, removed, or not registered (check: the checks ran)\n"
    "  1  any other failure\n"
    "  2  usage error, an unreadable password file, or no database server set\n"
    "  3  database server unreachable, or it did not answer in time\n"
    "  4  login refused by the database server\n"
    "  5  database or table missing\n"
    "  6  not allowed: database permission denied, or the settings store is not writable (not root)\n"
    "\n"
    "The settings live in the registry directory /var/lib/enlistor/registry (ENLISTOR_REGISTRY moves it).\n";

int run(int argc, char** argv) {
    const ParsedArguments parsed = ParseArguments(argc, argv);
    if (!parsed.ok) {
        // One line, so that a script's log shows the whole refusal; the usage is one --help away.
        const CString line = "enlistor: " + parsed.error + " (see enlistor --help)";
        if (parsed.jsonRequested) {
            nlohmann::ordered_json json;
            json["outcome"] = "usage";
            json["exit_code"] = static_cast<int>(kExitUsage);
            json["address"] = "";
            json["computer_name"] = "";
            json["error"] = line;
            json["cause"] = parsed.error;
            std::printf("%s\n", JsonLine(json).c_str());
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        return kExitUsage;
    }
    switch (parsed.options.command) {
    case CommandKind::Help:
        std::printf("%s%s", kUsage, kHelp);
        return kExitOk;
    case CommandKind::Version:
        std::printf("enlistor %.*s\n", static_cast<int>(version_info::kProductVersionText.size()),
                    version_info::kProductVersionText.data());
        return kExitOk;
    case CommandKind::Register:
        return RunRegister(parsed.options, stdout, stderr);
    case CommandKind::Check:
        return RunCheck(parsed.options, stdout, stderr);
    case CommandKind::Unregister:
        return RunUnregister(parsed.options, stdout, stderr);
    }
    return kExitFailure;
}

} // namespace

bool IsCommandLineRun(int argc, char** /*argv*/) {
    return argc > 1;
}

int RunCommandLine(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "enlistor: %s\n", e.what());
    } catch (...) {
        std::fputs("enlistor: unexpected failure\n", stderr);
    }
    return kExitFailure;
}

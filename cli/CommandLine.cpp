#include "cli/CommandLine.h"

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "cli/Json.h"
#include "workflow/ExitCodes.h"
#include "res/VersionInfo.h"

#include <cstdio>
#include <exception>

namespace {

constexpr char kUsage[] = "Usage: enlistor                      open the registration dialog\n"
                          "       enlistor register [--server S] [--ip IP] [--database D] [--login L]\n"
                          "                         [--password-file FILE|-] [--json]\n"
                          "       enlistor check [--json]\n"
                          "       enlistor --help | --version\n";

constexpr char kHelp[] =
    "\n"
    "Enters this machine into the control-panel suite's server list without the dialog.\n"
    "\n"
    "Commands:\n"
    "  register   Store the given settings (values not given keep their stored ones), connect to the\n"
    "             suite's database and add this machine unless its address is already known. Prints\n"
    "             \"Server registered successfully\", or the error text on standard error; after a\n"
    "             failure the settings stored before the command are put back.\n"
    "  check      Change nothing: show the stored settings (password masked), the provider and ODBC\n"
    "             driver, the address and computer name that would be registered, connect, run both\n"
    "             duplicate checks and say whether this machine is already registered.\n"
    "\n"
    "Options:\n"
    "  --server S           Database Server Name (a host name, or an ODBC data source name)\n"
    "  --ip IP              Database Server IP (stored and shown only)\n"
    "  --database D         Database Name\n"
    "  --login L            Database Login\n"
    "  --password-file F    read the Database Password from file F, or from standard input if F is -;\n"
    "                       one trailing line end is removed. The password is never taken from the\n"
    "                       command line or the environment.\n"
    "  --json               print one JSON object: outcome, exit_code, address, computer_name, error\n"
    "  -h, --help           show this help\n"
    "  -V, --version        show the version\n"
    "\n"
    "Exit status (both commands):\n"
    "  0  registered, or already known (check: the checks ran)\n"
    "  1  any other failure\n"
    "  2  usage error\n"
    "  3  database server unreachable, or it did not answer in time\n"
    "  4  login refused by the database server\n"
    "  5  database or table missing\n"
    "  6  not allowed: database permission denied, or the settings store is not writable (not root)\n"
    "\n"
    "The settings live in the registry directory /var/lib/enlistor/registry (ENLISTOR_REGISTRY moves it).\n";

int run(int argc, char** argv) {
    const ParsedArguments parsed = ParseArguments(argc, argv);
    if (!parsed.ok) {
        if (parsed.jsonRequested) {
            JsonObject json;
            json.Add("outcome", "usage").Add("exit_code", static_cast<int>(kExitUsage)).Add("address", "");
            json.Add("computer_name", "").Add("error", "enlistor: " + parsed.error);
            std::printf("%s\n", json.Text().c_str());
        } else {
            std::fprintf(stderr, "enlistor: %s\n%s", parsed.error.c_str(), kUsage);
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

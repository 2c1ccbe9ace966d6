#include "cli/CommandLine.h"

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "res/VersionInfo.h"
#include "workflow/ExitCodes.h"

#include <cstdio>
#include <exception>

namespace {

// Both texts keep within 80 columns.
constexpr char kUsage[] = "Usage: enlistor                       open the registration dialog\n"
                          "       enlistor register   [SETTINGS] [TRUST] [--address A] [--json]\n"
                          "       enlistor check      [SETTINGS] [TRUST] [--address A] [--json]\n"
                          "       enlistor unregister [SETTINGS] [TRUST] [--address A] [--json]\n"
                          "       enlistor --help | --version\n"
                          "SETTINGS: [--server S] [--ip IP] [--database D] [--login L]\n"
                          "          [--password-file FILE|-]\n"
                          "TRUST:    [--ca-file PATH] [--trust-cert SHA256] [--insecure-login]\n";

constexpr char kHelp[] = "\n"
                         "Enters this machine into the control-panel suite's server list, without the\n"
                         "dialog.\n"
                         "\n"
                         "Commands:\n"
                         "  register    Store the given settings (values not given keep their stored\n"
                         "              ones), connect to the suite's database and add this machine\n"
                         "              unless its address is already known. Prints \"Server registered\n"
                         "              successfully\", or the error on standard error; after a failure\n"
                         "              the settings stored before the command are put back.\n"
                         "  check       Change nothing: show the settings (password masked), the\n"
                         "              provider and ODBC driver, the address and computer name that\n"
                         "              would be registered, connect, run both duplicate checks and say\n"
                         "              whether this machine is already registered (exit status 0)\n"
                         "              or register would insert it (8).\n"
                         "  unregister  Remove this machine's own pending row (its address and computer\n"
                         "              name) from the registered servers. A machine already in the\n"
                         "              suite's server list is removed in the suite, not here.\n"
                         "  help        Show this help (also: enlistor COMMAND --help).\n"
                         "\n"
                         "Options, after the command, each at most once, as --option VALUE or\n"
                         "--option=VALUE. Every command takes them; check and unregister use the\n"
                         "settings for their connection only and store nothing.\n"
                         "  --server S          Database Server Name (a host name, or an ODBC data\n"
                         "                      source name)\n"
                         "  --ip IP             Database Server IP (stored and shown only)\n"
                         "  --database D        Database Name\n"
                         "  --login L           Database Login\n"
                         "  --password-file F   read the Database Password from file F, or from\n"
                         "                      standard input if F is -; one trailing line end is\n"
                         "                      removed. The password is never taken from the command\n"
                         "                      line or the environment. A file that others can read\n"
                         "                      gets a warning.\n"
                         "  --address A         the address to register (or look for) instead of the\n"
                         "                      one found on the network adapters: an IPv4 or IPv6\n"
                         "                      literal; a %zone suffix is dropped; loopback,\n"
                         "                      link-local, multicast and unspecified ones are refused\n"
                         "  --ca-file PATH      verify the database server's TLS certificate with this\n"
                         "                      CA bundle (or the server's own certificate) instead of\n"
                         "                      the system's CAs; the host name is checked\n"
                         "  --trust-cert SHA256 trust exactly the server certificate with this SHA-256\n"
                         "                      fingerprint (hex, ':' optional); the host name is not\n"
                         "                      checked. check shows the fingerprint of a certificate\n"
                         "                      it cannot verify\n"
                         "  --insecure-login    send this server's login even without TLS or without a\n"
                         "                      verified certificate (warned about on every run)\n"
                         "                      register stores these three with the settings.\n"
                         "                      Otherwise the password goes only over TLS to a\n"
                         "                      verified server; a data source's own SSLmode or\n"
                         "                      freetds.conf setting is kept, and reported if weaker\n"
                         "  --json              print one JSON object (format 1; see enlistor(1)):\n"
                         "                      command, outcome, exit_code, address, computer_name,\n"
                         "                      error, cause, driver_message, hresult, warnings, tls\n"
                         "  -h, --help          show this help\n"
                         "  -V, --version       show the version\n"
                         "\n"
                         "Exit status (every command):\n"
                         "  0  registered or already known; removed or not registered (unregister);\n"
                         "     this machine is registered (check)\n"
                         "  1  any other failure\n"
                         "  2  usage error, an unreadable password file, or no database server set\n"
                         "  3  database server unreachable, or it did not answer in time\n"
                         "  4  login refused by the database server\n"
                         "  5  database or table missing\n"
                         "  6  not allowed: database permission denied, or the settings store is not\n"
                         "     writable (not root)\n"
                         "  7  the login was not sent: the server offers no TLS, its certificate is not\n"
                         "     verified, or the TLS handshake failed\n"
                         "  8  check: the server answered and this machine is not registered\n"
                         "\n"
                         "The settings live in the registry directory /var/lib/enlistor/registry\n"
                         "(ENLISTOR_REGISTRY moves it).\n";

int run(int argc, char** argv) {
    const ParsedArguments parsed = ParseArguments(argc, argv);
    if (!parsed.ok) {
        // One line, so that a script's log shows the whole refusal; the usage is one --help away.
        PrintRefusal(nullptr, parsed.error, parsed.jsonRequested, " (see enlistor --help)");
        return kExitUsage;
    }
    switch (parsed.options.command) {
    case CommandKind::Help:
        std::printf("%s%s", kUsage, kHelp);
        return kExitOk;
    case CommandKind::Version:
        std::printf("enlistor %.*s\n", static_cast<int>(enlistor::version_info::kProductVersionText.size()),
                    enlistor::version_info::kProductVersionText.data());
        return kExitOk;
    case CommandKind::Register:
        return RunCommand(WorkflowCommand::Register, parsed.options);
    case CommandKind::Check:
        return RunCommand(WorkflowCommand::Check, parsed.options);
    case CommandKind::Unregister:
        return RunCommand(WorkflowCommand::Unregister, parsed.options);
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

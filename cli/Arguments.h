// The command line's grammar:
//   enlistor register   [--server S] [--ip IP] [--database D] [--login L] [--password-file FILE|-] [--address A]
//                       [--ca-file PATH] [--trust-cert SHA256] [--insecure-login] [--json]
//   enlistor check      (the same options)
//   enlistor unregister (the same options)
//   enlistor --help | -h | help,  enlistor --version | -V,  enlistor COMMAND --help
// Options follow the command and take their value as the next argument or after "=". No option may repeat.
#pragma once

#include "common/Text.h"

#include <optional>

enum class CommandKind { Register, Check, Unregister, Help, Version };

struct CommandLineOptions {
    CommandKind command = CommandKind::Help;
    std::optional<CString> server;       // DatabaseServer
    std::optional<CString> serverIP;     // DBServerIP
    std::optional<CString> database;     // DatabaseName
    std::optional<CString> login;        // DBUserID
    std::optional<CString> passwordFile; // DBUserPassword comes from this file, "-" for standard input
    // The address to register instead of the one the rules pick: an IPv4 or IPv6 literal in its canonical text form
    // (lowercase, shortest IPv6 form, no zone), whatever form it was given in.
    std::optional<CString> address;
    // The connection's TLS trust (stored beside the five settings by register): a CA bundle or the server's own
    // certificate (made absolute), a pinned certificate's SHA-256 fingerprint ("AB:CD:..."), and the per-server
    // opt-out from the rule that the login goes only to a verified server.
    std::optional<CString> caFile;
    std::optional<CString> trustCert;
    bool insecureLogin = false;
    bool json = false;
};

struct ParsedArguments {
    bool ok = false;
    CommandLineOptions options;
    // Why the arguments were refused, as one line without the program's name. It quotes option names only, never
    // an argument's value, since a value typed in the wrong place may be a password.
    CString error;
    // Whether --json appears anywhere, so that a refusal can still be answered in JSON.
    bool jsonRequested = false;
};

[[nodiscard]] ParsedArguments ParseArguments(int argc, const char* const* argv);

// The process exit codes of the unattended commands, and how a failure's cause maps to them. The dialog's audit
// line names the same codes.
#pragma once

#include "platform/data/ErrorAdvice.h"
#include "registration/Registration.h"

enum ExitCode : int {
    kExitOk = 0,            // registered, or already known (check: this machine is registered)
    kExitFailure = 1,       // any other failure
    kExitUsage = 2,         // the command line is wrong, no database server is set, or a setting cannot be sent
    kExitUnreachable = 3,   // the database server cannot be reached, or did not answer in time
    kExitLoginRefused = 4,  // the database server refused the login
    kExitMissing = 5,       // the database or a table is missing
    kExitNotAllowed = 6,    // database permission denied, or the settings store cannot be read or written
    kExitNotProtected = 7,  // the login was not sent: the server offers no TLS, its certificate is not verified, or
                            // the TLS handshake failed
    kExitNotRegistered = 8, // check: the server answered and this machine is not registered (register would insert)
};

[[nodiscard]] int ExitCodeForCause(DataErrorCause cause) noexcept;

// The exit code of a registration's outcome: 0 on success, else from the cause of the error it caught (1 when no
// database error was caught: no usable address, a failure outside the data objects).
[[nodiscard]] int ExitCodeForRegistration(const RegistrationOutcome& outcome);

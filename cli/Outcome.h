// Exit codes of the unattended commands, and how a failure's cause maps to them.
#pragma once

#include "common/Text.h"
#include "platform/data/ErrorAdvice.h"
#include "platform/win32/Win32.h"

#include <optional>

// The same for every command; documented in --help and enlistor(1).
enum ExitCode : int {
    kExitOk = 0,           // registered, or already known (check: the checks ran)
    kExitFailure = 1,      // any other failure
    kExitUsage = 2,        // the command line is wrong
    kExitUnreachable = 3,  // the database server cannot be reached, or did not answer in time
    kExitLoginRefused = 4, // the database server refused the login
    kExitMissing = 5,      // the database or a table is missing
    kExitNotAllowed = 6,   // database permission denied, or the settings store is not writable
};

[[nodiscard]] int ExitCodeForCause(DataErrorCause cause) noexcept;

// The parts of a registration error text "%s Error %ld%s%s": the HRESULT when the text has that form.
[[nodiscard]] std::optional<HRESULT> HresultFromErrorText(const CString& errorText);

// The exit code for a failed registration or check, from what is known of the error: its SQLSTATE ("" when not
// known), its HRESULT (if known) and its text.
[[nodiscard]] int ExitCodeForError(const CString& sqlState, std::optional<HRESULT> hr, const CString& text);

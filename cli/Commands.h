// The two unattended commands. Each writes its report to out (and, in text mode, errors to err) and returns the
// process exit code of workflow/ExitCodes.h. Neither prompts or reads anything but the password source.
#pragma once

#include "cli/Arguments.h"

#include <cstdio>

// "register": the given values replace the stored ones, then the Register command's steps run without a window:
// save, RegisterMachine, the earlier settings stored back after a failure, reload.
[[nodiscard]] int RunRegister(const CommandLineOptions& options, std::FILE* out, std::FILE* err);

// "unregister": removes this machine's own pending row (its address and computer name) from the registered servers.
[[nodiscard]] int RunUnregister(const CommandLineOptions& options, std::FILE* out, std::FILE* err);

// "check": reads the settings, connects and runs the two duplicate checks, and reports what register would do. It
// stores nothing and inserts nothing.
[[nodiscard]] int RunCheck(const CommandLineOptions& options, std::FILE* out, std::FILE* err);

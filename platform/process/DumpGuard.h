// The process's memory holds the password: it never reaches a core file or another user's debugger.
#pragma once

// Keeps this process's memory out of reach: no core dump is written (RLIMIT_CORE 0) and the process is not dumpable,
// which also keeps other users' debuggers and /proc/<pid>/environ, mem and maps out. Called first thing at start-up,
// before any password is read or decrypted.
void KeepSecretsOutOfDumps() noexcept;

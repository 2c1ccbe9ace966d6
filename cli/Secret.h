// The database password on the command line's side: read from a file or from standard input, never from the
// arguments or the environment, and wiped from every buffer this code owns once it is no longer needed.
#pragma once

#include "common/Secret.h"
#include "common/Text.h"

#include <cstdio>

// The largest password file accepted; anything longer is not a password.
inline constexpr std::size_t kMaxPasswordFileSize = 64 * 1024;

// Reads the password from the named file, or from standard input when path is "-". One trailing line end ("\n" or
// "\r\n") is removed; nothing else is changed. Standard input that is a terminal is refused (the command never
// prompts, and a typed password would be echoed). On failure returns false with a reason in error that names the
// file but never its content. Only unbuffered reads are used, so no stdio buffer keeps a copy.
// A named file must be a regular file: it is opened without blocking and anything else (a FIFO, which could hold
// the command forever without a writer, a device, a process substitution) is refused; a pipe goes through "-".
// When the file is one that its group or others may read, the password is still read (the run goes on) and
// *warning, if given, gets a sentence saying so, for the caller to report as a warning; otherwise *warning is left
// empty. Standard input never warns.
[[nodiscard]] bool ReadPassword(const CString& path, SecretText& password, CString& error, CString* warning = nullptr);
// The same from an open stream (standard input for "-"); name is used in error texts only.
[[nodiscard]] bool ReadPasswordFrom(std::FILE* stream, const CString& name, SecretText& password, CString& error);

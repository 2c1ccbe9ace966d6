// The unattended commands beside the dialog: "enlistor register|check|unregister ...", help, --help, --version.
#pragma once

// True when the arguments ask for a command-line run rather than the dialog (any argument at all).
bool IsCommandLineRun(int argc, char** argv);
// Runs the command the arguments name and returns the process exit status.
int RunCommandLine(int argc, char** argv);

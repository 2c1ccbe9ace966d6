#include "cli/CommandLine.h"

#include <cstdio>

bool IsCommandLineRun(int argc, char** /*argv*/) { return argc > 1; }

int RunCommandLine(int /*argc*/, char** /*argv*/) {
    std::fputs("enlistor: command-line use is not available yet\n", stderr);
    return 2;
}

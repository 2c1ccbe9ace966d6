// Stands in for the enlistor executable in the tests while the application target is not part of the build: the
// command-line half of its entry point.
#include "cli/CommandLine.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (!IsCommandLineRun(argc, argv)) {
        std::fputs("enlistor_cli_driver: the dialog is not part of this driver\n", stderr);
        return 2;
    }
    return RunCommandLine(argc, argv);
}

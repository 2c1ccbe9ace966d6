// The process entry: the command line when arguments are given, else the dialog in the front end that fits.
#include "app/FrontEndChoice.h"
#include "cli/CommandLine.h"
#include "common/Secret.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/terminal/TerminalFrontEnd.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#ifdef ENLISTOR_HAVE_QT
#include "platform/ui/qt/QtFrontEnd.h"
#endif

namespace {

// Runs the application on the given front end for the span of the call.
int run_on(IFrontEnd& frontEnd) {
    SetFrontEnd(&frontEnd);
    const int status = AfxWinMain();
    SetFrontEnd(nullptr);
    return status;
}

int run_dialog(int& argc, char** argv) {
    FrontEndEnvironment env;
    env.getEnv = [](const char* name) -> const char* { return std::getenv(name); };
#ifdef ENLISTOR_HAVE_QT
    env.windowBuilt = true;
#else
    env.windowBuilt = false;
#endif
    env.terminalAvailable = [](std::string* why) { return TerminalAvailable(why); };
    std::string why;
    switch (ChooseFrontEnd(env, &why)) {
    case FrontEndKind::Window: {
#ifdef ENLISTOR_HAVE_QT
        QtApplicationSession session(argc, argv);
        return run_on(session.FrontEnd());
#else
        break;
#endif
    }
    case FrontEndKind::Terminal:
        return run_on(TerminalFrontEnd());
    case FrontEndKind::None:
        break;
    }
    std::fprintf(stderr, "enlistor: %s\n", why.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    KeepSecretsOutOfDumps();
    // Texts typed, read from files or given as arguments are in the locale's character set; the data objects
    // convert from it (LC_CTYPE only: messages and number formats stay as they are).
    std::setlocale(LC_CTYPE, "");
    try {
        if (IsCommandLineRun(argc, argv)) {
            return RunCommandLine(argc, argv);
        }
        return run_dialog(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "enlistor: %s\n", e.what());
        return 1;
    }
}

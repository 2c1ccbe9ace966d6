// Which front end shows the dialog in this process.
#pragma once

#include <functional>
#include <string>

enum class FrontEndKind { Window, Terminal, None };

struct FrontEndEnvironment {
    // The process environment (getenv); returns nullptr for unset variables.
    std::function<const char*(const char*)> getEnv;
    bool windowBuilt = true;
    // Whether the terminal front end can run (standard input and output are terminals, TERM usable), and why not.
    std::function<bool(std::string*)> terminalAvailable;
};

// The window when a display is available (DISPLAY or WAYLAND_DISPLAY non-empty) or a Qt platform is named
// (QT_QPA_PLATFORM non-empty); else the terminal when it can run; else None with one line for the operator in
// *why. Decided before any front end is started: Qt ends the process when it finds no display.
FrontEndKind ChooseFrontEnd(const FrontEndEnvironment& env, std::string* why);

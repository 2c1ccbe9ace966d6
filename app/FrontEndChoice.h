// Which front end shows the dialog in this process.
#pragma once

#include <functional>
#include <string>

enum class FrontEndKind { Window, Terminal, None };

struct FrontEndEnvironment {
    // The process environment (getenv); returns nullptr for unset variables.
    std::function<const char*(const char*)> getEnv;
    // Loads the window and opens the display; on false, *why says why in one line. Unset: no window to try.
    std::function<bool(std::string*)> openWindow;
    // Whether the terminal front end can run (standard input and output are terminals, TERM usable), and why not.
    std::function<bool(std::string*)> terminalAvailable;
};

// The window when a display is set (DISPLAY or WAYLAND_DISPLAY non-empty) or a Qt platform is named
// (QT_QPA_PLATFORM non-empty) and openWindow succeeds; else the terminal when it can run; else None. *why gets one
// line for the operator: with None the error, with Terminal after a window that could not be opened the reason
// for the fall-back, else "". Decided before any front end is started: Qt and newt end the process when started
// without their display or terminal.
FrontEndKind ChooseFrontEnd(const FrontEndEnvironment& env, std::string* why);

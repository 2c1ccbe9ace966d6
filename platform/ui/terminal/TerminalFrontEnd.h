// The terminal front end: dialog templates realised as newt forms, for use without a display (e.g. over SSH).
#pragma once

#include "platform/ui/DialogWindow.h"

#include <string>

// Whether the terminal front end can run in this process: standard input and output are terminals, and TERM
// names a terminal the terminal database knows that can position the cursor. newt ends the process itself when
// started without these, so callers check first. On false, *whyNot (when given) receives one readable line.
[[nodiscard]] bool TerminalAvailable(std::string* whyNot);

// The process-wide terminal front end. Its windows start the newt session when they first show something and end
// it (restoring the terminal) when they are done, on every path: return, exception, or a terminating signal
// (SIGTERM, SIGHUP, SIGINT, SIGQUIT), after which the process ends by that signal.
// RunModal and MessageBox throw std::runtime_error, leaving the terminal untouched, when TerminalAvailable() is
// false.
IFrontEnd& TerminalFrontEnd();

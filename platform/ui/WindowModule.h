// The window front end lives in a module of its own (enlistor-window.so, the only part that links Qt), loaded
// only when a display is set: the command line and the terminal dialog start without binding Qt, and a server
// without a desktop installs the program without Qt at all. The module is found beside the executable, at
// <directory of the executable>/../lib/enlistor/window/enlistor-window.so (so /usr/bin/enlistor loads
// /usr/lib/enlistor/window/enlistor-window.so, and a build tree's app/enlistor its lib/enlistor/window/).
#pragma once

#include "platform/ui/DialogWindow.h"

#include <memory>
#include <string>

class RuntimeLibrary;

// What the module hands back once its display is open: the front end whose windows it creates. Destroying it
// closes the display.
class IWindowSession {
public:
    virtual ~IWindowSession() = default;
    virtual IFrontEnd& FrontEnd() = 0;
};

// The module's one exported function, looked up by this name. It opens the display the environment names and
// returns the session, or returns nullptr with one line for the operator in whyNot (the display cannot be
// opened, no Qt platform answers). It never ends the process and never throws.
inline constexpr const char* kOpenWindowSessionSymbol = "enlistor_open_window_session";
extern "C" {
using OpenWindowSessionFunction = IWindowSession*(int& argc, char** argv, std::string& whyNot) noexcept;
}

// The loaded module and its open session. The module stays mapped until the process ends (a RuntimeLibrary is never
// closed: Qt keeps thread-local data and exit handlers that must outlive any unloading).
class WindowModuleSession {
public:
    WindowModuleSession(std::unique_ptr<RuntimeLibrary> module, IWindowSession* session) noexcept;
    ~WindowModuleSession();
    WindowModuleSession(const WindowModuleSession&) = delete;
    WindowModuleSession& operator=(const WindowModuleSession&) = delete;

    IFrontEnd& FrontEnd() { return m_session->FrontEnd(); }

private:
    std::unique_ptr<RuntimeLibrary> m_module;
    std::unique_ptr<IWindowSession> m_session;
};

// Where this executable's window module is installed; "" when the executable's own path cannot be read.
std::string WindowModulePath();

// Loads the module at modulePath and opens its display. On failure returns nullptr and sets *whyNot (when given)
// to one line: the module is not installed, it cannot be loaded (with the loader's reason), or the display
// cannot be opened.
std::unique_ptr<WindowModuleSession> OpenWindowModule(const std::string& modulePath, int& argc, char** argv,
                                                      std::string* whyNot);

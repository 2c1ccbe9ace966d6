// The window front end: dialog templates realised as Qt 6 Widgets windows. Free of Qt headers, so the process
// entry can choose it without including Qt.
#pragma once

#include "platform/ui/DialogWindow.h"

#include <memory>

// Owns the Qt application object for its lifetime. Create it only when a display is available or QT_QPA_PLATFORM
// names a platform: without either, Qt ends the process.
class QtApplicationSession {
public:
    QtApplicationSession(int& argc, char** argv);
    ~QtApplicationSession();
    QtApplicationSession(const QtApplicationSession&) = delete;
    QtApplicationSession& operator=(const QtApplicationSession&) = delete;

    IFrontEnd& FrontEnd();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The process-wide window front end. Creating windows needs a Qt application object (QtApplicationSession, or
// the one a test made); without it CreateDialogWindow throws std::runtime_error.
IFrontEnd& QtFrontEnd();

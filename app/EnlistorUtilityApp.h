// The application: one global object whose start-up runs the registration dialog and ends the process.
#pragma once

#include "platform/ui/Dialog.h"

class CEnlistorUtilityApp : public CWinApp {
public:
    CEnlistorUtilityApp();
    ~CEnlistorUtilityApp() override;

    // Runs the dialog modally and returns false: no message loop follows, the process ends.
    BOOL InitInstance() override;
};

extern CEnlistorUtilityApp theApp;

// The profile key name set at start-up (the application stores no profile settings under it).
inline constexpr const char* kProfileRegistryKey = "Local AppWizard-Generated Applications";

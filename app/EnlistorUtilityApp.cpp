#include "app/EnlistorUtilityApp.h"

#include "app/EnlistorUtilityDlg.h"

CEnlistorUtilityApp theApp;

CEnlistorUtilityApp::CEnlistorUtilityApp() = default;

CEnlistorUtilityApp::~CEnlistorUtilityApp() = default;

BOOL CEnlistorUtilityApp::InitInstance() {
    InitCommonControls();
    CWinApp::InitInstance();
    AfxEnableControlContainer();
    SetRegistryKey(kProfileRegistryKey);

    CEnlistorUtilityDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}

#include "module/DriverApp.h"

#include "automation/DriverModule.h"

BEGIN_MESSAGE_MAP(CDriverApp, CWinApp)
END_MESSAGE_MAP()

// Constructed by the run-time start-up after the module's state has been made
// current, so the base constructor registers it as that state's application.
CDriverApp g_driverApp;

BOOL CDriverApp::InitInstance() {
    g_module.Initialize(g_objectMap, m_hInstance);
    return CWinApp::InitInstance();
}

int CDriverApp::ExitInstance() {
    g_module.Terminate();
    return CWinApp::ExitInstance();
}

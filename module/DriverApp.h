#pragma once
// The module's application object: constructed while the module's framework
// state is current, it becomes that state's application, and it brackets the
// life of the COM module object.

#include "framework/ModuleState.h"
#include "framework/WinApp.h"

class CDriverApp : public CWinApp {
public:
    CDriverApp() = default;
    ~CDriverApp() override = default;

    // Initialises g_module with the object map and this application's instance;
    // that result does not decide the load, CWinApp::InitInstance's does.
    BOOL InitInstance() override;
    // Terminates g_module (its class factory and termination callbacks) while the
    // application object and the module state still exist.
    int ExitInstance() override;

    DECLARE_MESSAGE_MAP()
};

// The module's framework state, handed down to the layers by the entry point.
extern _AFX_DLL_MODULE_STATE g_moduleState;
extern CDriverApp g_driverApp;

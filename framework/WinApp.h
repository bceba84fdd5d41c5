#pragma once
// The application object of a module. Constructed while the module's state is
// current, it becomes that state's application (m_pCurrentWinApp).

#include "framework/CmdTarget.h"
#include "framework/ModuleState.h"

class CWinApp : public CCmdTarget {
public:
    CWinApp();
    ~CWinApp() override;

    // Called once the framework has attached the module; FALSE refuses the load.
    virtual BOOL InitInstance();
    // Called when the module detaches (or after a refused InitInstance).
    virtual int ExitInstance();

    // Recorded by AfxWinInit.
    HINSTANCE m_hInstance = nullptr;

    DECLARE_MESSAGE_MAP()

private:
    AFX_MODULE_STATE* m_pModuleState;
};

// Records the module's instance (also its resource handle) in the current module
// state and its application; the other arguments are not kept. FALSE when no
// module state is current.
BOOL AfxWinInit(HINSTANCE instance, HINSTANCE prevInstance, const char* cmdLine, int cmdShow);
// Forgets the handles AfxWinInit recorded: nothing of the module is found
// through the state afterwards.
void AfxWinTerm();

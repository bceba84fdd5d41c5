#pragma once
// A host program's own framework module state, made current on the calling
// thread for one scope; the state that was current before comes back after it.

#include "framework/ModuleState.h"

class HostState {
public:
    HostState() { m_previous = AfxSetModuleState(&m_state); }
    HostState(const HostState&) = delete;
    HostState& operator=(const HostState&) = delete;
    ~HostState() { AfxSetModuleState(m_previous); }
    AFX_MODULE_STATE* get() { return &m_state; }

private:
    _AFX_DLL_MODULE_STATE m_state{TRUE, nullptr, 0x0600};
    AFX_MODULE_STATE* m_previous = nullptr;
};

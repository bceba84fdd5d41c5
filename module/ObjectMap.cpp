#include "module/ObjectMap.h"

#include "automation/ClassFactory.h"
#include "contract/FocuserContract.h"
#include "automation/FocuserObject.h"
#include "registration/RegScript.h"
#include "resources/resource.h"

namespace {

HRESULT UpdateFocuserRegistry(BOOL doRegister) {
    return RunModuleScriptFrom(g_module.m_hInstance, IDR_FOCUSER, doRegister != FALSE, nullptr);
}

// Null: the class takes part in registration.
const char* FocuserDescription() {
    return nullptr;
}

const CategoryMapEntry* FocuserCategories() {
    return nullptr;
}

void FocuserStartStop(BOOL /*starting*/) {}

} // namespace

ObjectMapEntry g_objectMap[] = {
    {&CLSID_Focuser,
     &UpdateFocuserRegistry,
     &CreateClassFactory,
     &CreateFocuserInstance,
     {},
     &FocuserDescription,
     &FocuserCategories,
     &FocuserStartStop},
    {nullptr, nullptr, nullptr, nullptr, {}, nullptr, nullptr, nullptr},
};

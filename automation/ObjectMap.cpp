#include "automation/ClassFactory.h"
#include "automation/DriverModule.h"
#include "automation/FocuserContract.h"
#include "automation/FocuserObject.h"
#include "registration/ModuleScript.h"

namespace {

constexpr WORD IDR_FOCUSER = 102;

HRESULT UpdateFocuserRegistry(BOOL doRegister) {
    return RunModuleScript(IDR_FOCUSER, doRegister != FALSE, nullptr);
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

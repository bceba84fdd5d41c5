#include "tests/common/FocuserObjectMap.h"

#include "automation/ClassFactory.h"
#include "automation/FocuserObject.h"
#include "contract/FocuserContract.h"

namespace testing_support {

ObjectMapEntry g_focuserObjectMap[] = {
    {&CLSID_Focuser, nullptr, &CreateClassFactory, &CreateFocuserInstance, {}, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, {}, nullptr, nullptr, nullptr},
};

} // namespace testing_support

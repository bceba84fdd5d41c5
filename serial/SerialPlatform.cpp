#include "serial/SerialPlatform.h"

namespace {

const SerialPlatform kSystemPlatform = {
    &CreateFileA, &GetCommState, &SetCommState, &SetCommTimeouts,
    &PurgeComm,   &ReadFile,     &WriteFile,    &GetCommTimeouts,
};

const SerialPlatform* g_serialPlatform = &kSystemPlatform;

} // namespace

const SerialPlatform& SystemSerialPlatform() {
    return kSystemPlatform;
}

const SerialPlatform& CurrentSerialPlatform() {
    return *g_serialPlatform;
}

void SetSerialPlatform(const SerialPlatform* platform) {
    g_serialPlatform = platform != nullptr ? platform : &kSystemPlatform;
}

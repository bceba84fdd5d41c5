// Prints the access list (DACL) of a key below HKEY_LOCAL_MACHINE as the
// registry stores it, in the security descriptor language (SDDL), read with
// RegGetKeySecurity in the 32-bit view, where the driver's profile lives.
// key_security <path below HKLM>; exit code 0 when it could be read.

#include "platform/Owners.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: key_security <path below HKEY_LOCAL_MACHINE>\n");
        return 2;
    }
    platform::UniqueHKey key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, READ_CONTROL | KEY_WOW64_32KEY, key.put());
    if (result != ERROR_SUCCESS) {
        std::printf("RegOpenKeyExA: %ld\n", result);
        return 1;
    }
    DWORD size = 0;
    RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> descriptor(size + 1);
    result = RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.data(), &size);
    if (result != ERROR_SUCCESS) {
        std::printf("RegGetKeySecurity: %ld\n", result);
        return 1;
    }
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr)) {
        std::printf("ConvertSecurityDescriptorToStringSecurityDescriptorA: %lu\n", GetLastError());
        return 1;
    }
    const platform::UniqueLocal owned(text);
    std::printf("%s\n", text);
    return 0;
}

// A library that carries only the test scripts, so the tests can load it from
// paths with spaces and apostrophes.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, void*) {
    return TRUE;
}

// Holds a file as another program does while the setup runs over it:
//   loaded  a client that has the DLL loaded (Windows will not overwrite it)
//   read    open for reading, others may only read (it can be copied, not written)
//   none    open, others may do nothing with it (not even copy it)
// file_holder <loaded|read|none> <path> <seconds>: prints "holding <path>" once
// the file is held and lets it go after the seconds, or when ended. Exit code 0
// when it was held.

#include "platform/Owners.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::printf("usage: file_holder <loaded|read|none> <path> <seconds>\n");
        return 2;
    }
    const char* mode = argv[1];
    const char* path = argv[2];
    const unsigned long seconds = std::strtoul(argv[3], nullptr, 10);
    platform::UniqueModule module;
    platform::UniqueFile file;
    if (std::strcmp(mode, "loaded") == 0) {
        module.reset(LoadLibraryA(path));
    } else if (std::strcmp(mode, "read") == 0 || std::strcmp(mode, "none") == 0) {
        const DWORD share = std::strcmp(mode, "read") == 0 ? FILE_SHARE_READ : 0;
        file.reset(
            CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    } else {
        std::printf("unknown mode %s\n", mode);
        return 2;
    }
    if (!module && !file) {
        std::printf("could not hold %s: error %lu\n", path, GetLastError());
        return 1;
    }
    std::printf("holding %s\n", path);
    std::fflush(stdout);
    Sleep(seconds * 1000);
    return 0;
}

// Holds a file as another program does while the setup runs over it:
//   loaded  a client that has the DLL loaded (Windows will not overwrite it)
//   read    open for reading, others may only read (it can be copied, not written)
//   none    open, others may do nothing with it (not even copy it)
// file_holder <loaded|read|none> <path> <seconds> [written]: prints "holding
// <path>" once the file is held and lets it go after the seconds, or when ended.
// With "written" it first prints "waiting", then waits (within the seconds) for
// the file to be written, as a client that loads the server a setup has just
// put there. Exit code 0 when it was held.

#include "platform/Owners.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The time of the file's last change of contents or attributes; -1 when it
// cannot be read. Asked without any sharing claim, so a writer is not hindered.
LONGLONG ChangeTime(const char* path) {
    platform::UniqueFile file(CreateFileA(path, FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FILE_BASIC_INFO info = {};
    if (!file || !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info))
        return -1;
    return info.ChangeTime.QuadPart;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && !(argc == 5 && std::strcmp(argv[4], "written") == 0)) {
        std::printf("usage: file_holder <loaded|read|none> <path> <seconds> [written]\n");
        return 2;
    }
    const char* mode = argv[1];
    const char* path = argv[2];
    const unsigned long seconds = std::strtoul(argv[3], nullptr, 10);
    const bool loaded = std::strcmp(mode, "loaded") == 0;
    if (!loaded && std::strcmp(mode, "read") != 0 && std::strcmp(mode, "none") != 0) {
        std::printf("unknown mode %s\n", mode);
        return 2;
    }
    const DWORD share = std::strcmp(mode, "read") == 0 ? FILE_SHARE_READ : 0;
    platform::UniqueModule module;
    platform::UniqueFile file;
    auto hold = [&] {
        if (loaded)
            module.reset(LoadLibraryA(path));
        else
            file.reset(CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
        return module || file;
    };
    if (argc == 5) {
        const LONGLONG before = ChangeTime(path);
        std::printf("waiting\n");
        std::fflush(stdout);
        // The writer has the file open until its last byte: holding it fails till then.
        const DWORD start = GetTickCount();
        while (ChangeTime(path) == before || !hold()) {
            if (GetTickCount() - start > seconds * 1000) {
                std::printf("%s was not written\n", path);
                return 1;
            }
            Sleep(5);
        }
    } else {
        hold();
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

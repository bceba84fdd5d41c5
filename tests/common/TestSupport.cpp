#include "tests/common/TestSupport.h"

namespace testing_support {

const PortPair& FirstPair() {
    static const PortPair pair{"COM5", "COM6", 5};
    return pair;
}

const PortPair& SecondPair() {
    static const PortPair pair{"COM7", "COM8", 7};
    return pair;
}

std::string DriverModulePath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path);
    // <build>/tests/x.exe -> <build>/MorvantisFocuser.dll
    std::string dir = exe.substr(0, exe.find_last_of("\\/"));
    dir = dir.substr(0, dir.find_last_of("\\/"));
    return dir + "\\MorvantisFocuser.dll";
}

ScratchKey::ScratchKey(const char* name) : m_path(std::string("Software\\MorvantisTests\\") + name) {
    RegDeleteTreeA(HKEY_CURRENT_USER, m_path.c_str());
    RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                    nullptr, m_key.put(), nullptr);
}

ScratchKey::~ScratchKey() {
    m_key.reset();
    RegDeleteTreeA(HKEY_CURRENT_USER, m_path.c_str());
}

double NowMs() {
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(freq.QuadPart);
}

} // namespace testing_support

#include "tests/common/TestSupport.h"

#include "platform/Owners.h"

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

ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

namespace {

platform::UniqueFile OpenPort(const std::string& path) {
    return platform::UniqueFile(
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

} // namespace

PortSettingsGuard::PortSettingsGuard(const char* port) : m_path(std::string("//./") + port) {
    platform::UniqueFile handle = OpenPort(m_path);
    m_dcb.DCBlength = sizeof m_dcb;
    m_saved =
        handle.valid() && GetCommState(handle.get(), &m_dcb) && GetCommTimeouts(handle.get(), &m_timeouts);
}

PortSettingsGuard::~PortSettingsGuard() {
    if (!m_saved)
        return;
    platform::UniqueFile handle = OpenPort(m_path);
    if (handle.valid()) {
        SetCommState(handle.get(), &m_dcb);
        SetCommTimeouts(handle.get(), &m_timeouts);
    }
}

bool LeaveLineSettings(const char* port, const std::function<void(DCB&)>& change) {
    platform::UniqueFile handle = OpenPort(std::string("//./") + port);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!handle.valid() || !GetCommState(handle.get(), &dcb))
        return false;
    change(dcb);
    return SetCommState(handle.get(), &dcb) != FALSE;
}

HeldOutputRescue::HeldOutputRescue(const char* port, DWORD timeoutMs) : m_port(port), m_timeoutMs(timeoutMs) {
    m_watch.Start(Run, this);
}

DWORD WINAPI HeldOutputRescue::Run(void* param) {
    HeldOutputRescue* self = static_cast<HeldOutputRescue*>(param);
    if (self->m_watch.WaitForStop(self->m_timeoutMs))
        return 0;
    InterlockedExchange(&self->m_released, 1);
    LeaveLineSettings(self->m_port.c_str(), [](DCB& dcb) {
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
    });
    return 0;
}

bool HeldOutputRescue::Finish() {
    m_watch.Stop();
    return m_released != 0;
}

} // namespace testing_support

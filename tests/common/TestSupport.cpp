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
                    nullptr, &m_key, nullptr);
}

ScratchKey::~ScratchKey() {
    if (m_key != nullptr)
        RegCloseKey(m_key);
    RegDeleteTreeA(HKEY_CURRENT_USER, m_path.c_str());
}

double NowMs() {
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(freq.QuadPart);
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

HeldOutputRescue::HeldOutputRescue(const char* port, DWORD timeoutMs)
    : m_port(port), m_timeoutMs(timeoutMs), m_done(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (m_done != nullptr)
        m_thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

DWORD WINAPI HeldOutputRescue::Run(void* param) {
    HeldOutputRescue* self = static_cast<HeldOutputRescue*>(param);
    if (WaitForSingleObject(self->m_done, self->m_timeoutMs) == WAIT_OBJECT_0)
        return 0;
    InterlockedExchange(&self->m_released, 1);
    LeaveLineSettings(self->m_port.c_str(), [](DCB& dcb) {
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
    });
    return 0;
}

bool HeldOutputRescue::Finish() {
    if (m_thread != nullptr) {
        SetEvent(m_done);
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    if (m_done != nullptr) {
        CloseHandle(m_done);
        m_done = nullptr;
    }
    return m_released != 0;
}

} // namespace testing_support

#include "settings/SetupDlg.h"

#include "registry/Registry.h"
#include "settings/SettingsRegistry.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const g_settingsKey = "Software\\ASCOM\\Focuser Drivers\\Morvantis.Focuser";

namespace {

constexpr DWORD kTextBufferSize = 256;
constexpr int kDefaultMaxPosition = 10000;
// Read-only: what a standard user is granted on a key that only administrators
// may change.
constexpr REGSAM kSettingsReadAccess = KEY_READ | KEY_WOW64_32KEY;
const char kSaveFailedMessage[] = "The settings could not be saved: Windows refused to change them.";

// Copies the value's bytes, whatever its type, into text as a terminated string
// of at most 255 characters; a missing value, or one that does not fit, leaves it empty.
void QueryText(HKEY key, const char* name, char (&text)[kTextBufferSize]) {
    std::memset(text, 0, sizeof text);
    DWORD size = sizeof text;
    if (registry::QueryValue(key, name, text, &size) == ERROR_MORE_DATA)
        std::memset(text, 0, sizeof text);
    // A stored text of exactly 256 bytes has no room left for its terminator.
    text[kTextBufferSize - 1] = '\0';
}

// atoi's reading (blanks, a sign, the digits up to the first other character; 0
// without digits), with numbers beyond the 32-bit range held at its ends.
int ParseSetting(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value < INT_MIN)
        return INT_MIN;
    if (value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(value);
}

bool WriteSetting(HKEY key, const char* name, int value) {
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%i", value);
    // The stored text counts its terminating NUL.
    return CurrentSettingsRegistry().setValue(key, name, REG_SZ, text, static_cast<DWORD>(length) + 1) ==
           ERROR_SUCCESS;
}

} // namespace

BEGIN_MESSAGE_MAP(CSetupDlg, CDialog)
END_MESSAGE_MAP()

CSetupDlg::CSetupDlg(HWND parent)
    : CDialog(IDD_SETUP, parent), m_portIndex(0), m_maxPosition(kDefaultMaxPosition) {
    LoadSettings();
}

void CSetupDlg::LoadSettings() {
    m_portIndex = 0;
    m_maxPosition = kDefaultMaxPosition;
    const SettingsRegistry& calls = CurrentSettingsRegistry();
    platform::UniqueHKey key;
    LONG opened = calls.createKey(HKEY_LOCAL_MACHINE, g_settingsKey, kSettingsKeyAccess, key);
    // A standard user is refused write access to a key under HKEY_LOCAL_MACHINE
    // unless its rights allow it; the settings stored there are still the ones
    // to use, so they are read through a read-only key (a missing key stays
    // missing then: only a writer can create it).
    if (opened != ERROR_SUCCESS)
        opened = calls.openKey(HKEY_LOCAL_MACHINE, g_settingsKey, kSettingsReadAccess, key);
    if (opened == ERROR_SUCCESS) {
        char portText[kTextBufferSize];
        char maxText[kTextBufferSize];
        QueryText(key.get(), "COM", portText);
        QueryText(key.get(), "MaxPos", maxText);
        key.reset();
        m_portIndex = ParseSetting(portText);
        m_maxPosition = ParseSetting(maxText);
    }
    // In this order: a zero maximum (missing, empty, not a number) means the
    // default, while a negative one is raised to the lower bound.
    if (m_portIndex < 0)
        m_portIndex = 0;
    if (m_portIndex > 63)
        m_portIndex = 63;
    if (m_maxPosition == 0)
        m_maxPosition = kDefaultMaxPosition;
    if (m_maxPosition < 10)
        m_maxPosition = 10;
    if (m_maxPosition > 100000)
        m_maxPosition = 100000;
}

bool CSetupDlg::SaveSettings() const {
    platform::UniqueHKey key;
    if (CurrentSettingsRegistry().createKey(HKEY_LOCAL_MACHINE, g_settingsKey, kSettingsKeyAccess, key) !=
        ERROR_SUCCESS)
        return false;
    // "MaxPos" is not tried once "COM" was refused: the key refuses both alike.
    return WriteSetting(key.get(), "COM", m_portIndex) && WriteSetting(key.get(), "MaxPos", m_maxPosition);
}

void CSetupDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PORT, m_portList);
    DDX_CBIndex(pDX, IDC_PORT, m_portIndex);
    DDX_Text(pDX, IDC_MAXPOS, m_maxPosition);
    DDV_MinMaxInt(pDX, m_maxPosition, 10, 100000);
}

void CSetupDlg::OnOK() {
    if (!UpdateData(TRUE))
        return;
    if (!SaveSettings()) {
        // Closing would look like a save. Owned by the dialog, which stays open
        // for another try or for Cancel.
        char caption[128] = {};
        GetWindowTextA(m_hWnd, caption, sizeof caption);
        MessageBoxA(m_hWnd, kSaveFailedMessage, caption, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    CDialog::OnOK();
}

#include "settings/SetupDlg.h"

namespace {

const char kSaveFailedMessage[] = "The settings could not be saved: Windows refused to change them.";

} // namespace

BEGIN_MESSAGE_MAP(CSetupDlg, CDialog)
END_MESSAGE_MAP()

CSetupDlg::CSetupDlg(HWND parent)
    : CDialog(IDD_SETUP, parent), m_portIndex(0), m_maxPosition(settings::kDefaultMaxPosition) {
    LoadSettings();
}

void CSetupDlg::LoadSettings() {
    platform::UniqueHKey key;
    const LONG opened = settings::OpenSettingsKey(settings::KeyAccess::CreateElseRead, key);
    settings::SettingsValues stored;
    settings::ReadSettings(opened == ERROR_SUCCESS ? key.get() : nullptr, stored);
    m_portIndex = stored.portIndex;
    m_maxPosition = stored.maxPosition;
}

bool CSetupDlg::SaveSettings() const {
    platform::UniqueHKey key;
    if (settings::OpenSettingsKey(settings::KeyAccess::Create, key) != ERROR_SUCCESS)
        return false;
    // "MaxPos" is not tried once "COM" was refused: the key refuses both alike.
    return settings::WriteSetting(key.get(), "COM", m_portIndex) &&
           settings::WriteSetting(key.get(), "MaxPos", m_maxPosition);
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

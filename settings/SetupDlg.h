#pragma once
// The setup dialog and the only holder of the driver's two settings. Constructing
// it reads the settings from the registry (no window is made); DoModal shows the
// dialog, and its OK saves both settings. Nothing is cached: every construction
// reads the registry again.

#include "framework/ComboBox.h"
#include "framework/DataExchange.h"
#include "framework/Dialog.h"
#include "resources/resource.h"
#include "settings/StoredSettings.h"

class CSetupDlg : public CDialog {
public:
    explicit CSetupDlg(HWND parent = nullptr);
    ~CSetupDlg() override = default;

    CComboBox m_portList;
    // 0-based port index (0 = COM1), 0 to 63 after loading; -1 after OK with no
    // port selected.
    int m_portIndex;
    // Largest focuser position in steps, 10 to 100000.
    int m_maxPosition;

    // The save step of OK: writes "COM", then "MaxPos", as decimal texts. False
    // when the settings key cannot be opened for writing (nothing written) or a
    // write is refused.
    bool SaveSettings() const;

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    // Saves both settings once the exchange accepts the entries; when they
    // cannot be saved, says so in a message box and stays open.
    void OnOK() override;

private:
    // Reads both settings through a read-write key, creating it when missing, or
    // through a read-only one when write access is refused; defaults without either.
    void LoadSettings();
};

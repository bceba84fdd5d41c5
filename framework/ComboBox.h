#pragma once
// A combo-box control object, attached to a dialog's control by DDX_Control.

#include "framework/Wnd.h"

class CComboBox : public CWnd {
public:
    int GetCount() const;
    // -1 (CB_ERR) when nothing is selected.
    int GetCurSel() const;
    // An index out of range clears the selection and returns -1.
    int SetCurSel(int index);
};

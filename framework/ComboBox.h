#pragma once
// A combo-box control object, attached to a dialog's control by DDX_Control; the
// selection travels through DDX_CBIndex.

#include "framework/Wnd.h"

class CComboBox : public CWnd {};

// Resource ids shared by the resource scripts and the code.
#pragma once

#define IDS_PROJNAME 100
#define IDR_FOCUSER 102

#define IDD_SETUP 201
#define IDC_PORT 201
#define IDC_MAXPOS 202

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

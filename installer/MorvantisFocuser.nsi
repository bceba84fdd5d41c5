; Setup for the Morvantis focuser driver: the 32-bit server for 32-bit clients
; and, on 64-bit Windows, the 64-bit server for 64-bit clients, each registered
; by the regsvr32 of its own bitness.
;
; makensis -DDLL32=<32-bit MorvantisFocuser.dll> -DDLL64=<64-bit one> -DOUTFILE=<setup.exe> MorvantisFocuser.nsi
; Both setup and uninstaller run silently with /S; a failed registration ends
; them with exit code 2.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "LogicLib.nsh"
!include "x64.nsh"

!ifndef DLL32 | DLL64 | OUTFILE
    !error "DLL32, DLL64 and OUTFILE must be defined"
!endif

!define PRODUCT "Morvantis Focuser"
!define VERSION "1.0.0"
!define PUBLISHER "Morvantis"
!define DLLNAME "MorvantisFocuser.dll"
!define PROGID "Morvantis.Focuser"
!define ASCOM_KEY "Software\ASCOM"
!define DRIVERS_KEY "${ASCOM_KEY}\Focuser Drivers"
!define PROFILE_KEY "${DRIVERS_KEY}\${PROGID}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MorvantisFocuser"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES32\Morvantis"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Dir64

Function .onInit
    ; Program Files is where 32-bit programs' files go; a 32-bit setup cannot
    ; pick another folder for the 64-bit server anyway.
    StrCpy $INSTDIR "$PROGRAMFILES32\Morvantis"
    StrCpy $Dir64 "$PROGRAMFILES64\Morvantis"
FunctionEnd

Function un.onInit
    StrCpy $Dir64 "$PROGRAMFILES64\Morvantis"
FunctionEnd

!macro Fail message
    DetailPrint "${message}"
    SetErrorLevel 2
    IfSilent +2
        MessageBox MB_ICONSTOP|MB_OK "${message}"
    Abort
!macroend

Section "Driver"
    SetOverwrite on

    ; The profile key exists before registration, so that registration gives it
    ; its display name. Only the default value is written: the settings values
    ; "COM" and "MaxPos" of an earlier install stay as they are.
    SetRegView 32
    WriteRegStr HKLM "${PROFILE_KEY}" "" "Morvantis"

    SetOutPath "$INSTDIR"
    File "/oname=${DLLNAME}" "${DLL32}"
    ClearErrors
    RegDLL "$INSTDIR\${DLLNAME}"
    ${If} ${Errors}
        !insertmacro Fail "Could not register $INSTDIR\${DLLNAME}"
    ${EndIf}

    ${If} ${RunningX64}
        ; A 32-bit setup sees System32 and Program Files through the WOW64
        ; redirection; with it off, the 64-bit regsvr32 and folder are reached.
        ${DisableX64FSRedirection}
        SetOutPath "$Dir64"
        File "/oname=${DLLNAME}" "${DLL64}"
        ExecWait '"$WINDIR\System32\regsvr32.exe" /s "$Dir64\${DLLNAME}"' $0
        ${EnableX64FSRedirection}
        ${If} $0 != 0
            !insertmacro Fail "Could not register $Dir64\${DLLNAME} (regsvr32 exit code $0)"
        ${EndIf}
    ${EndIf}

    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "ASCOM Focuser Driver for Morvantis"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Deletes a key of the current view only when nothing is left in it: another
; driver's profile or value keeps the ASCOM keys alive.
!macro DeleteKeyIfEmpty key
    Push $1
    Push $2
    EnumRegKey $1 HKLM "${key}" 0
    EnumRegValue $2 HKLM "${key}" 0
    ${If} $1 == ""
    ${AndIf} $2 == ""
        DeleteRegKey /ifempty HKLM "${key}"
    ${EndIf}
    Pop $2
    Pop $1
!macroend


Section "Uninstall"
    ; Unregistration answers success whatever it found, so its result says
    ; nothing; the files go either way.
    ${If} ${RunningX64}
        ${DisableX64FSRedirection}
        ExecWait '"$WINDIR\System32\regsvr32.exe" /s /u "$Dir64\${DLLNAME}"'
        Delete "$Dir64\${DLLNAME}"
        RMDir "$Dir64"
        ${EnableX64FSRedirection}
    ${EndIf}

    UnRegDLL "$INSTDIR\${DLLNAME}"
    Delete "$INSTDIR\${DLLNAME}"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"

    ; Both servers keep their settings in the 32-bit view, as ASCOM drivers do.
    SetRegView 32
    DeleteRegKey HKLM "${PROFILE_KEY}"
    !insertmacro DeleteKeyIfEmpty "${DRIVERS_KEY}"
    !insertmacro DeleteKeyIfEmpty "${ASCOM_KEY}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

; Setup for the Morvantis focuser driver: the 32-bit server for 32-bit clients
; and, on 64-bit Windows, the 64-bit server for 64-bit clients, each registered
; by the regsvr32 of its own bitness.
;
; makensis -DDLL32=<32-bit MorvantisFocuser.dll> -DDLL64=<64-bit one> -DOUTFILE=<setup.exe>
;          -DTREE32=<32-bit build folder> -DTREE64=<64-bit one> -DSOURCE=<repository>
;          -DVERSION=<MAJOR.MINOR.PATCH> [-DSIGN=<program>] MorvantisFocuser.nsi
; (installer/MakeSetup.cmake runs it so). VERSION is the project's. SIGN, a
; program that signs the file it is given in place, signs the uninstaller
; before it goes into the setup, and the setup once written.
; The optional "Tools" component (on by default) adds FocuserCtl and FocuserSim
; of the machine's bitness, the VBScript sample, the README and Start-menu
; shortcuts. Should only the tools fail to be written, what they wrote is
; removed, the driver stays installed and the exit code is 3.
; Both setup and uninstaller run silently with /S. /D=<folder> (last on the
; command line) chooses the 32-bit server's folder; the 64-bit server always goes
; to "Morvantis" in the 64-bit Program Files, a folder /D= may not name. A failed
; install puts back what it changed, tells the user (unless silent) and ends
; with exit code 2; with exit code 4 when something could not be put back, named
; in the message and in the log (%TEMP%\MorvantisFocuserSetup.log). The
; uninstaller leaves what another install of ours still uses, and says so on its
; finish page and in its log (%TEMP%\MorvantisFocuserUninstall.log). A setup
; does not install over a newer version unless told: /FORCE, or Yes when it
; asks; refused, it ends with exit code 5.

Unicode true
SetCompressor /SOLID lzma
; The files' times in the build folder would make two setups of one commit
; differ; installed files get the time of the install.
SetDateSave off
RequestExecutionLevel admin

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "WordFunc.nsh"
!include "x64.nsh"
!include "MUI2.nsh"

!ifndef DLL32 | DLL64 | OUTFILE | TREE32 | TREE64 | SOURCE | VERSION
    !error "DLL32, DLL64, OUTFILE, TREE32, TREE64, SOURCE and VERSION must be defined"
!endif
!ifdef SIGN
    !uninstfinalize '"${SIGN}" "%1"' = 0
    !finalize '"${SIGN}" "%1"' = 0
!endif

!define PRODUCT "Morvantis Focuser"
!define PUBLISHER "Morvantis"
!define DLLNAME "MorvantisFocuser.dll"
!define PROGID "Morvantis.Focuser"
!define CLSID "{4202128D-BD14-404D-8BC1-217D157EA800}"
!define SERVER_KEY "CLSID\${CLSID}\InprocServer32"
!define ASCOM_KEY "Software\ASCOM"
!define DRIVERS_KEY "${ASCOM_KEY}\Focuser Drivers"
!define PROFILE_KEY "${DRIVERS_KEY}\${PROGID}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MorvantisFocuser"
!define MENU_FOLDER "$SMPROGRAMS\${PRODUCT}"

; The version in every page's title.
Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; /D= wins over both; an upgrade goes where the earlier install went.
InstallDir "$PROGRAMFILES32\Morvantis"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; What the uninstall left for another install, or the usual words when nothing.
Var UnFinishText
!define MUI_FINISHPAGE_TEXT "$UnFinishText"
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

Var Dir64
; What the machine held before this run, all of it read before the first write,
; and what this run has done so far: the undo steps of a failed install read
; them, and undo only what this run did.
Var Server32Before ; the class registration of each view ("" for none)
Var Server64Before
Var Had32          ; "1": the file was there, and a copy of it waits in $PLUGINSDIR
Var Had64
Var HadUninstaller
Var Existing32     ; the nearest folder at or above $INSTDIR that was there
Var Created64      ; "1": the folder was not there
Var AscomBefore    ; "1": the key existed
Var DriversBefore
Var ProfileBefore
Var NamedBefore    ; "1": the profile key had its display name
Var Writing32      ; "1": this run set out to write the file (and its folders),
Var Writing64      ;      so it may have made the folders even when the write failed
Var WritingUninstaller
Var Wrote32        ; "1": the write went through; one that failed left the file
Var Wrote64        ;      as it was (SetOverwrite try skips a file it cannot open)
Var WroteUninstaller
Var Naming         ; "1": this run set out to write the profile key's display name
Var Registering32  ; "1": this run called the server's registration
Var Registering64
Var InstallName    ; this install's folder, as its record names it
Var HadRecord      ; "1": the install had a record (an upgrade in place), holding
Var RecordBefore   ;      this
Var Recording      ; "1": this run set out to write the record
Var NotRestored    ; what the undo steps could not put back, a line each

; The installs of ours on this machine, a value each in the 32-bit view: the
; install's folder, and the 64-bit server it installed ("" on 32-bit Windows).
; An uninstaller leaves what another install still names.
!define INSTALLS_KEY "Software\Morvantis\Focuser\Installs"
!define SETUP_LOG "$TEMP\MorvantisFocuserSetup.log"
!define UNINSTALL_LOG "$TEMP\MorvantisFocuserUninstall.log"

; LogLine: the text on the stack as a line of the details and of the run's log
; file, which says after a silent run what went wrong or what was left. Changes
; the error flag.
!macro _LogLineFunction un file
    Function ${un}LogLine
        Exch $0
        Push $1
        DetailPrint "$0"
        ClearErrors
        FileOpen $1 "${file}" a
        ${IfNot} ${Errors}
            FileSeek $1 0 END
            FileWrite $1 "$0$\r$\n"
            FileClose $1
        ${EndIf}
        Pop $1
        Pop $0
    FunctionEnd
!macroend
!insertmacro _LogLineFunction "" "${SETUP_LOG}"
!insertmacro _LogLineFunction "un." "${UNINSTALL_LOG}"

!macro Log text
    Push "${text}"
    !ifdef __UNINSTALL__
        Call un.LogLine
    !else
        Call LogLine
    !endif
!macroend

; Over a newer version of the driver the setup goes on only with /FORCE on the
; command line, or when the user says Yes (a silent setup does not ask);
; otherwise it ends at once with exit code 5, having changed nothing. An older
; version, or the same one, is upgraded in place, its settings kept.
Function RefuseNewerVersion
    Push $0
    Push $1
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
    ${If} $0 != ""
        ${VersionCompare} "$0" "${VERSION}" $1
        ${If} $1 == 1
            ${GetParameters} $1
            ClearErrors
            ${GetOptions} "$1" "/FORCE" $1
            ${If} ${Errors}
                MessageBox MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2 \
                    "${PRODUCT} $0 is installed, a newer version than this setup's ${VERSION}.$\r$\n$\r$\nInstall ${VERSION} in its place?" \
                    /SD IDNO IDYES replace
                SetErrorLevel 5
                Quit
            ${EndIf}
        ${EndIf}
    ${EndIf}
replace:
    Pop $1
    Pop $0
FunctionEnd

Function .onInit
    StrCpy $Dir64 "$PROGRAMFILES64\Morvantis"
    ; The shortcuts are for every user of the machine, as the driver is.
    SetShellVarContext all
    Call RefuseNewerVersion
FunctionEnd

Function un.onInit
    StrCpy $Dir64 "$PROGRAMFILES64\Morvantis"
    SetShellVarContext all
FunctionEnd

; _KeyExists ROOT KEY VAR: VAR becomes "1" when the key exists in the current view.
!macro _KeyExists root key var
    ClearErrors
    EnumRegKey ${var} ${root} "${key}" 0
    ${If} ${Errors}
        StrCpy ${var} ""
    ${Else}
        StrCpy ${var} 1
    ${EndIf}
!macroend

; The file is copied aside before it is overwritten, so a failed upgrade can put
; the earlier version back.
; Without a copy the undo steps find nothing to put back, and leave the file.
; A folder of that name is no earlier file: the write fails on it, and the undo
; steps must not copy anything into it.
!macro _Keep path copy var
    StrCpy ${var} ""
    ${If} ${FileExists} "${path}"
    ${AndIfNot} ${FileExists} "${path}\*.*"
        StrCpy ${var} 1
        ClearErrors
        CopyFiles /SILENT "${path}" "$PLUGINSDIR\${copy}"
        ${If} ${Errors}
            Delete "$PLUGINSDIR\${copy}"
            Push "Could not keep a copy of ${path}"
            Call Fail
        ${EndIf}
    ${EndIf}
!macroend

!macro _NotRestored what
    !insertmacro Log "Could not put back ${what}"
    StrCpy $NotRestored "$NotRestored$\r$\n${what}"
!macroend

; A file that cannot be put back (a program holds it) is reported.
!macro _PutBack path copy had
    ClearErrors
    ${If} ${had} == 1
        CopyFiles /SILENT "$PLUGINSDIR\${copy}" "${path}"
    ${Else}
        Delete "${path}"
    ${EndIf}
    ${If} ${Errors}
        !insertmacro _NotRestored "${path}"
    ${EndIf}
!macroend

; Gives BUILTIN\Users (S-1-5-32-545) the rights the driver opens its profile key
; with (KEY_READ | KEY_WRITE), inherited by subkeys, as an entry added to the
; key's access list: the entries it has, inherited ones included, stay. Sets the
; error flag when any step fails. The key is in the 32-bit view.
Function GrantUsersProfileAccess
    Push $0
    Push $1
    Push $2
    Push $3
    Push $4
    Push $5
    Push $6
    StrCpy $1 0
    StrCpy $3 0
    StrCpy $4 0
    StrCpy $5 0
    StrCpy $6 0
    ; READ_CONTROL | WRITE_DAC | KEY_WOW64_32KEY
    System::Call 'advapi32::RegOpenKeyExW(p 0x80000002, w "${PROFILE_KEY}", i 0, i 0x60200, *p .r1) i .r0'
    ${If} $0 == 0
        ; SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION
        System::Call 'advapi32::GetSecurityInfo(p r1, i 4, i 4, p 0, p 0, *p .r2, p 0, *p .r3) i .r0'
    ${EndIf}
    ${If} $0 == 0
        System::Call 'advapi32::ConvertStringSidToSidW(w "S-1-5-32-545", *p .r4) i .r0'
        ${If} $0 != 0
            StrCpy $0 0
        ${Else}
            StrCpy $0 1
        ${EndIf}
    ${EndIf}
    ${If} $0 == 0
        ; EXPLICIT_ACCESS_W: KEY_READ | KEY_WRITE, GRANT_ACCESS, CONTAINER_INHERIT_ACE,
        ; and a trustee given by its SID (TRUSTEE_IS_SID, TRUSTEE_IS_ALIAS).
        System::Call '*(i 0x2001F, i 1, i 2, p 0, i 0, i 0, i 4, p r4) p .r5'
        System::Call 'advapi32::SetEntriesInAclW(i 1, p r5, p r2, *p .r6) i .r0'
    ${EndIf}
    ${If} $0 == 0
        System::Call 'advapi32::SetSecurityInfo(p r1, i 4, i 4, p 0, p 0, p r6, p 0) i .r0'
    ${EndIf}
    ${If} $6 != 0
        System::Call 'kernel32::LocalFree(p r6)'
    ${EndIf}
    ${If} $5 != 0
        System::Free $5
    ${EndIf}
    ${If} $4 != 0
        System::Call 'kernel32::LocalFree(p r4)'
    ${EndIf}
    ${If} $3 != 0
        System::Call 'kernel32::LocalFree(p r3)'
    ${EndIf}
    ${If} $1 != 0
        System::Call 'advapi32::RegCloseKey(p r1)'
    ${EndIf}
    ClearErrors
    ${If} $0 != 0
        DetailPrint "Access for Users to the profile key: error $0"
        SetErrors
    ${EndIf}
    Pop $6
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

; A server registers its short path, but its type library under the path it was
; loaded from: an earlier server is registered again by its long path, as the
; setup registered it. Uses $0 and $1.
!macro _LongPath var
    ${If} ${var} != ""
        System::Call 'kernel32::GetLongPathNameW(w "${var}", w .r0, i ${NSIS_MAX_STRLEN}) i .r1'
        ${If} $1 > 0
        ${AndIf} $1 < ${NSIS_MAX_STRLEN}
            StrCpy ${var} $0
        ${EndIf}
    ${EndIf}
!macroend

; The path on the stack in one spelling: full (no ".", ".." or "/"), with long
; names for the part of it that exists and no trailing backslash. Letter case
; stays as given: compare with StrCmp (==), which ignores it.
!macro _CanonicalPathFunction un
Function ${un}CanonicalPath
    Exch $0
    Push $1
    Push $2
    Push $3
    Push $4
    System::Call 'kernel32::GetFullPathNameW(w r0, i ${NSIS_MAX_STRLEN}, w .r1, p 0) i .r2'
    ${If} $2 > 0
    ${AndIf} $2 < ${NSIS_MAX_STRLEN}
        StrCpy $0 $1
    ${EndIf}
    ${Do}
        StrCpy $1 $0 1 -1
        ${If} $1 != "\"
            ${ExitDo}
        ${EndIf}
        StrCpy $0 $0 -1
    ${Loop}
    ; GetLongPathName wants a path that exists: the nearest existing folder at or
    ; above the path, then the names below it as given.
    StrCpy $1 $0
    StrCpy $3 ""
    ${Do}
        System::Call 'kernel32::GetLongPathNameW(w r1, w .r2, i ${NSIS_MAX_STRLEN}) i .r4'
        ${If} $4 > 0
        ${AndIf} $4 < ${NSIS_MAX_STRLEN}
            StrCpy $0 "$2$3"
            ${ExitDo}
        ${EndIf}
        ${GetParent} "$1" $2
        ${If} $2 == ""
            ${ExitDo}
        ${EndIf}
        ${GetFileName} "$1" $4
        StrCpy $3 "\$4$3"
        StrCpy $1 $2
    ${Loop}
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Exch $0
FunctionEnd
!macroend
!insertmacro _CanonicalPathFunction ""
!insertmacro _CanonicalPathFunction "un."

; Leaves "1" on the stack when $INSTDIR is the 64-bit server's folder, "" when
; not. Both servers would then be written to one file. On 32-bit Windows there
; is no 64-bit server and no such folder.
Function IsServer64Folder
    Push $0
    Push $1
    StrCpy $0 ""
    ${If} ${RunningX64}
        Push "$INSTDIR"
        Call CanonicalPath
        Push "$Dir64"
        Call CanonicalPath
        Pop $1
        Pop $0
        ${If} $0 == $1
            StrCpy $0 1
        ${Else}
            StrCpy $0 ""
        ${EndIf}
    ${EndIf}
    Pop $1
    Exch $0
FunctionEnd

; The folder page refuses the 64-bit server's folder (Next stays disabled).
Function .onVerifyInstDir
    Push $0
    Call IsServer64Folder
    Pop $0
    ${If} $0 == 1
        Pop $0
        Abort
    ${EndIf}
    Pop $0
FunctionEnd

; regsvr32 of the 64-bit server (the 32-bit setup reaches it with the file
; system redirection off); its exit code goes to $0.
!macro _Regsvr64 options path
    ${DisableX64FSRedirection}
    ExecWait '"$WINDIR\System32\regsvr32.exe" /s ${options} "${path}"' $0
    ${EnableX64FSRedirection}
!macroend

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

; Undoes this run, newest step first: the servers unregistered, the earlier
; files put back and registered again, the folders and keys this run created
; removed. A step this run did not reach is not undone: a file it did not write
; stays, whatever its copy holds. The settings of an earlier install are never
; touched. What could not be put back (a file a program holds, a registration
; that names another file than before) is in $NotRestored.
Function Rollback
    Push $0
    Push $1
    StrCpy $NotRestored ""
    ; The output folder is the process's current folder, which cannot be removed.
    SetOutPath "$TEMP"
    ${If} $Registering64 == 1
        !insertmacro _Regsvr64 "/u" "$Dir64\${DLLNAME}"
    ${EndIf}
    ${If} $Registering32 == 1
        UnRegDLL "$INSTDIR\${DLLNAME}"
    ${EndIf}

    ${If} $WroteUninstaller == 1
        !insertmacro _PutBack "$INSTDIR\Uninstall.exe" "Uninstall.exe" $HadUninstaller
    ${EndIf}
    ${If} $Wrote32 == 1
        !insertmacro _PutBack "$INSTDIR\${DLLNAME}" "old32.dll" $Had32
    ${EndIf}
    ${If} $Writing64 == 1
        ${DisableX64FSRedirection}
        ${If} $Wrote64 == 1
            !insertmacro _PutBack "$Dir64\${DLLNAME}" "old64.dll" $Had64
        ${EndIf}
        ${If} $Created64 == 1
            RMDir "$Dir64"
        ${EndIf}
        ${EnableX64FSRedirection}
    ${EndIf}
    ; /D= may have named folders below one that did not exist either.
    ${If} $Writing32 == 1
        StrCpy $0 "$INSTDIR"
        ${Do}
            ${If} $0 == $Existing32
            ${OrIf} $0 == ""
                ${ExitDo}
            ${EndIf}
            RMDir "$0"
            ${GetParent} "$0" $0
        ${Loop}
    ${EndIf}

    ; The earlier servers, wherever they were, serve again.
    ${If} $Registering32 == 1
    ${AndIf} $Server32Before != ""
        RegDLL "$Server32Before"
    ${EndIf}
    ${If} $Registering64 == 1
    ${AndIf} $Server64Before != ""
        !insertmacro _Regsvr64 "" "$Server64Before"
    ${EndIf}
    ; Judged by what each view's class names now: a registration that failed to
    ; be undone and failed to be redone may still be as it was.
    ${If} $Registering32 == 1
        SetRegView 32
        ReadRegStr $0 HKCR "${SERVER_KEY}" ""
        !insertmacro _LongPath $0
        ${If} $0 != $Server32Before
            !insertmacro _NotRestored "the 32-bit class registration (it names $\"$0$\", before $\"$Server32Before$\")"
        ${EndIf}
    ${EndIf}
    ${If} $Registering64 == 1
        SetRegView 64
        ReadRegStr $0 HKCR "${SERVER_KEY}" ""
        SetRegView 32
        !insertmacro _LongPath $0
        ${If} $0 != $Server64Before
            !insertmacro _NotRestored "the 64-bit class registration (it names $\"$0$\", before $\"$Server64Before$\")"
        ${EndIf}
    ${EndIf}

    ${If} $Recording == 1
        SetRegView 32
        ${If} $HadRecord == 1
            WriteRegStr HKLM "${INSTALLS_KEY}" "$InstallName" "$RecordBefore"
        ${Else}
            DeleteRegValue HKLM "${INSTALLS_KEY}" "$InstallName"
            !insertmacro DeleteKeyIfEmpty "${INSTALLS_KEY}"
            !insertmacro DeleteKeyIfEmpty "Software\Morvantis\Focuser"
            !insertmacro DeleteKeyIfEmpty "Software\Morvantis"
        ${EndIf}
    ${EndIf}

    ${If} $Naming == 1
        SetRegView 32
        ${If} $ProfileBefore != 1
            DeleteRegKey HKLM "${PROFILE_KEY}"
        ${ElseIf} $NamedBefore != 1
            DeleteRegValue HKLM "${PROFILE_KEY}" ""
        ${EndIf}
        ${If} $DriversBefore != 1
            DeleteRegKey /ifempty HKLM "${DRIVERS_KEY}"
        ${EndIf}
        ${If} $AscomBefore != 1
            DeleteRegKey /ifempty HKLM "${ASCOM_KEY}"
        ${EndIf}
    ${EndIf}
    Pop $1
    Pop $0
FunctionEnd

; Fail with the message on the stack: undo, tell, end with exit code 2, or with
; exit code 4 when the undo steps could not put everything back.
Function Fail
    Exch $0
    !insertmacro Log "$0"
    Call Rollback
    ${If} $NotRestored == ""
        StrCpy $0 "$0$\r$\n$\r$\nNothing was installed; the machine is as it was before."
        !insertmacro Log "Nothing was installed; the machine is as it was before."
        SetErrorLevel 2
    ${Else}
        StrCpy $0 "$0$\r$\n$\r$\nThe setup put back what it could, but not:$NotRestored$\r$\n$\r$\nClose every program that uses the focuser, then run the setup again."
        !insertmacro Log "Not everything was put back. Close every program that uses the focuser, then run the setup again."
        SetErrorLevel 4
    ${EndIf}
    IfSilent +2
        MessageBox MB_ICONSTOP|MB_OK "$0"
    Pop $0
    Abort
FunctionEnd

!macro Fail message
    Push "${message}"
    Call Fail
!macroend

Section "Driver" SecDriver
    SectionIn RO
    InitPluginsDir
    Delete "${SETUP_LOG}"
    ; A file that cannot be written sets the error flag instead of asking.
    SetOverwrite try

    Call IsServer64Folder
    Pop $0
    ${If} $0 == 1
        !insertmacro Fail "$INSTDIR is the 64-bit server's folder; the 32-bit server needs a folder of its own."
    ${EndIf}

    ; What there was before, for the undo steps: all of it before the first write,
    ; so that a failure at any write finds it.
    SetRegView 32
    ReadRegStr $Server32Before HKCR "${SERVER_KEY}" ""
    !insertmacro _KeyExists HKLM "${ASCOM_KEY}" $AscomBefore
    !insertmacro _KeyExists HKLM "${DRIVERS_KEY}" $DriversBefore
    !insertmacro _KeyExists HKLM "${PROFILE_KEY}" $ProfileBefore
    ClearErrors
    ReadRegStr $0 HKLM "${PROFILE_KEY}" ""
    ${If} ${Errors}
        StrCpy $NamedBefore ""
    ${Else}
        StrCpy $NamedBefore 1
    ${EndIf}
    ${If} ${RunningX64}
        SetRegView 64
        ReadRegStr $Server64Before HKCR "${SERVER_KEY}" ""
        SetRegView 32
    ${EndIf}
    !insertmacro _LongPath $Server32Before
    !insertmacro _LongPath $Server64Before
    Push "$INSTDIR"
    Call CanonicalPath
    Pop $InstallName
    ClearErrors
    ReadRegStr $RecordBefore HKLM "${INSTALLS_KEY}" "$InstallName"
    ${IfNot} ${Errors}
        StrCpy $HadRecord 1
    ${EndIf}

    StrCpy $Existing32 "$INSTDIR"
    ${Do}
        ${If} ${FileExists} "$Existing32\*.*"
        ${OrIf} $Existing32 == ""
            ${ExitDo}
        ${EndIf}
        ${GetParent} "$Existing32" $Existing32
    ${Loop}
    !insertmacro _Keep "$INSTDIR\${DLLNAME}" "old32.dll" $Had32
    !insertmacro _Keep "$INSTDIR\Uninstall.exe" "Uninstall.exe" $HadUninstaller
    ${If} ${RunningX64}
        ; A 32-bit setup sees System32 through the WOW64 redirection; with it
        ; off, the 64-bit regsvr32 is reached.
        ${DisableX64FSRedirection}
        ${IfNot} ${FileExists} "$Dir64\*.*"
            StrCpy $Created64 1
        ${EndIf}
        !insertmacro _Keep "$Dir64\${DLLNAME}" "old64.dll" $Had64
        ${EnableX64FSRedirection}
    ${EndIf}

    ; Files first, both of them, so that nothing is registered before every
    ; file is in place.
    StrCpy $Writing32 1
    ClearErrors
    SetOutPath "$INSTDIR"
    File "/oname=${DLLNAME}" "${DLL32}"
    ${If} ${Errors}
        !insertmacro Fail "Could not write $INSTDIR\${DLLNAME}"
    ${EndIf}
    StrCpy $Wrote32 1

    ${If} ${RunningX64}
        ${DisableX64FSRedirection}
        StrCpy $Writing64 1
        ClearErrors
        SetOutPath "$Dir64"
        File "/oname=${DLLNAME}" "${DLL64}"
        ${If} ${Errors}
            ${EnableX64FSRedirection}
            !insertmacro Fail "Could not write $Dir64\${DLLNAME}"
        ${EndIf}
        StrCpy $Wrote64 1
        ${EnableX64FSRedirection}
    ${EndIf}
    SetOutPath "$INSTDIR"

    ; This install's record, naming the 64-bit server it uses.
    StrCpy $Recording 1
    StrCpy $0 ""
    ${If} ${RunningX64}
        Push "$Dir64\${DLLNAME}"
        Call CanonicalPath
        Pop $0
    ${EndIf}
    ClearErrors
    WriteRegStr HKLM "${INSTALLS_KEY}" "$InstallName" "$0"
    ${If} ${Errors}
        !insertmacro Fail "Could not write HKLM\${INSTALLS_KEY}"
    ${EndIf}

    ; The profile key exists before registration, so that registration gives it
    ; its display name. Only the default value is written: the settings values
    ; "COM" and "MaxPos" of an earlier install stay as they are.
    StrCpy $Naming 1
    WriteRegStr HKLM "${PROFILE_KEY}" "" "Morvantis"

    StrCpy $Registering32 1
    ClearErrors
    RegDLL "$INSTDIR\${DLLNAME}"
    ${If} ${Errors}
        !insertmacro Fail "Could not register $INSTDIR\${DLLNAME}"
    ${EndIf}
    ${If} ${RunningX64}
        StrCpy $Registering64 1
        !insertmacro _Regsvr64 "" "$Dir64\${DLLNAME}"
        ${If} $0 != 0
            !insertmacro Fail "Could not register $Dir64\${DLLNAME} (regsvr32 exit code $0)"
        ${EndIf}
    ${EndIf}

    StrCpy $WritingUninstaller 1
    ClearErrors
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    ${If} ${Errors}
        !insertmacro Fail "Could not write $INSTDIR\Uninstall.exe"
    ${EndIf}
    StrCpy $WroteUninstaller 1
    ; Last of the steps that can fail: a failure before it has nothing to undo.
    Call GrantUsersProfileAccess
    ${If} ${Errors}
        !insertmacro Fail "Could not give Users access to HKLM\${PROFILE_KEY}"
    ${EndIf}

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "ASCOM Focuser Driver for Morvantis"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The tools of the machine's bitness: the 64-bit ones beside the 64-bit server.
; Sets $1 to their folder. Uses $0.
!macro _ToolsFolder
    ${If} ${RunningX64}
        StrCpy $1 "$Dir64"
    ${Else}
        StrCpy $1 "$INSTDIR"
    ${EndIf}
!macroend

!macro _RemoveTools
    ${DisableX64FSRedirection}
    Delete "$1\FocuserCtl.exe"
    Delete "$1\FocuserSim.exe"
    ${EnableX64FSRedirection}
    Delete "$INSTDIR\focuser.vbs"
    Delete "$INSTDIR\README.md"
    Delete "${MENU_FOLDER}\Focuser setup.lnk"
    Delete "${MENU_FOLDER}\Focuser diagnosis.lnk"
    Delete "${MENU_FOLDER}\Uninstall.lnk"
    RMDir "${MENU_FOLDER}"
!macroend

Section "Tools and shortcuts" SecTools
    Push $0
    Push $1
    !insertmacro _ToolsFolder
    ClearErrors
    ${DisableX64FSRedirection}
    SetOutPath "$1"
    ${If} ${RunningX64}
        File "${TREE64}\FocuserCtl.exe"
        File "${TREE64}\FocuserSim.exe"
    ${Else}
        File "${TREE32}\FocuserCtl.exe"
        File "${TREE32}\FocuserSim.exe"
    ${EndIf}
    ${EnableX64FSRedirection}
    SetOutPath "$INSTDIR"
    File "${SOURCE}\examples\focuser.vbs"
    File "${SOURCE}\README.md"
    CreateDirectory "${MENU_FOLDER}"
    CreateShortcut "${MENU_FOLDER}\Focuser setup.lnk" "$1\FocuserCtl.exe" "setup"
    ; cmd /k keeps the window open, so the result can be read and copied.
    CreateShortcut "${MENU_FOLDER}\Focuser diagnosis.lnk" "$WINDIR\System32\cmd.exe" \
        '/k ""$1\FocuserCtl.exe" doctor"'
    CreateShortcut "${MENU_FOLDER}\Uninstall.lnk" "$INSTDIR\Uninstall.exe"
    ${If} ${Errors}
        !insertmacro _RemoveTools
        DetailPrint "The tools could not be installed; the driver is installed."
        SetErrorLevel 3
        IfSilent +2
            MessageBox MB_ICONEXCLAMATION|MB_OK "The tools could not be installed; the driver is installed."
    ${EndIf}
    Pop $1
    Pop $0
SectionEnd

; Last, once every component chosen is in place: their size for the
; installed-programs entry, in KiB.
Section "-Installed size"
    Push $0
    Push $1
    Push $2
    Push $3
    ${GetSize} "$INSTDIR" "/S=0K /G=0" $0 $1 $2
    ${If} ${RunningX64}
        ${GetSize} "$Dir64" "/S=0K /G=0" $3 $1 $2
        IntOp $0 $0 + $3
    ${EndIf}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
    Pop $3
    Pop $2
    Pop $1
    Pop $0
SectionEnd

LangString DESC_Driver ${LANG_ENGLISH} "The driver for 32-bit and 64-bit astronomy programs."
LangString DESC_Tools ${LANG_ENGLISH} "FocuserCtl (setup, diagnosis, port finder), the simulator, the VBScript sample, the README and Start-menu shortcuts."
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecDriver} $(DESC_Driver)
    !insertmacro MUI_DESCRIPTION_TEXT ${SecTools} $(DESC_Tools)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; What the uninstall leaves because another install still uses it, a line each
; for the finish page.
Var Kept

!macro _Leave text
    !insertmacro Log "${text}"
    StrCpy $Kept "$Kept$\r$\n${text}"
!macroend

; $0 becomes the canonical path of the server the class of the current view
; names, "" when none.
!macro _RegisteredServer
    ReadRegStr $0 HKCR "${SERVER_KEY}" ""
    ${If} $0 != ""
        Push $0
        Call un.CanonicalPath
        Pop $0
    ${EndIf}
!macroend

; Removes what is this install's own: its folder and the registration of its
; 32-bit server, and the 64-bit server with its registration and the tools
; beside it unless another install of ours names that server. A class that names
; a server other than this install's stays registered, and the profile key with
; the settings stays while either view's class is registered. What stays is said
; in the log and on the finish page.
Section "Uninstall"
    Delete "${UNINSTALL_LOG}"
    StrCpy $Kept ""
    SetRegView 32
    Push "$INSTDIR"
    Call un.CanonicalPath
    Pop $R0
    StrCpy $R1 ""
    ${If} ${RunningX64}
        Push "$Dir64\${DLLNAME}"
        Call un.CanonicalPath
        Pop $R1
    ${EndIf}
    ReadRegStr $R4 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R4 != ""
        Push $R4
        Call un.CanonicalPath
        Pop $R4
    ${EndIf}

    ; The other installs of ours: any ($R3), and one that names this install's
    ; 64-bit server ($R2). One whose folder was deleted by hand names nothing.
    DeleteRegValue HKLM "${INSTALLS_KEY}" "$R0"
    StrCpy $R2 ""
    StrCpy $R3 ""
    StrCpy $1 0
    ${Do}
        ClearErrors
        EnumRegValue $2 HKLM "${INSTALLS_KEY}" $1
        ${If} ${Errors}
        ${OrIf} $2 == ""
            ${ExitDo}
        ${EndIf}
        ${If} ${FileExists} "$2\Uninstall.exe"
            StrCpy $R3 $2
            ReadRegStr $3 HKLM "${INSTALLS_KEY}" "$2"
            ${If} $3 == $R1
            ${AndIf} $R1 != ""
                StrCpy $R2 $2
            ${EndIf}
            IntOp $1 $1 + 1
        ${Else}
            DeleteRegValue HKLM "${INSTALLS_KEY}" "$2"
        ${EndIf}
    ${Loop}

    ; Unregistration answers success whatever it found, so its result says
    ; nothing. The tools go first: one of their folders is the 64-bit server's.
    ${If} $R3 == ""
        Push $1
        !insertmacro _ToolsFolder
        !insertmacro _RemoveTools
        Pop $1
    ${Else}
        Delete "$INSTDIR\FocuserCtl.exe"
        Delete "$INSTDIR\FocuserSim.exe"
        Delete "$INSTDIR\focuser.vbs"
        Delete "$INSTDIR\README.md"
        !insertmacro _Leave "The Start-menu folder stays: the install in $R3 may use it."
    ${EndIf}
    ${If} ${RunningX64}
        SetRegView 64
        !insertmacro _RegisteredServer
        SetRegView 32
        ${If} $R2 != ""
            !insertmacro _Leave "The 64-bit server $R1, its registration and the tools beside it stay: the install in $R2 uses them."
        ${Else}
            ${DisableX64FSRedirection}
            ${If} $0 == ""
            ${OrIf} $0 == $R1
                ExecWait '"$WINDIR\System32\regsvr32.exe" /s /u "$Dir64\${DLLNAME}"'
            ${Else}
                !insertmacro _Leave "The 64-bit class stays registered: it names $0, not this install's server."
            ${EndIf}
            Delete "$Dir64\${DLLNAME}"
            RMDir "$Dir64"
            ${EnableX64FSRedirection}
        ${EndIf}
    ${EndIf}

    !insertmacro _RegisteredServer
    Push "$INSTDIR\${DLLNAME}"
    Call un.CanonicalPath
    Pop $1
    ${If} $0 == ""
    ${OrIf} $0 == $1
        UnRegDLL "$INSTDIR\${DLLNAME}"
    ${Else}
        !insertmacro _Leave "The 32-bit class stays registered: it names $0, not this install's server."
    ${EndIf}
    Delete "$INSTDIR\${DLLNAME}"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"

    ; Both servers keep their settings in the 32-bit view, as ASCOM drivers do.
    !insertmacro _RegisteredServer
    ${If} $0 == ""
    ${AndIf} ${RunningX64}
        SetRegView 64
        !insertmacro _RegisteredServer
        SetRegView 32
    ${EndIf}
    ${If} $0 == ""
        DeleteRegKey HKLM "${PROFILE_KEY}"
        !insertmacro DeleteKeyIfEmpty "${DRIVERS_KEY}"
        !insertmacro DeleteKeyIfEmpty "${ASCOM_KEY}"
    ${Else}
        !insertmacro _Leave "The profile key HKLM\${PROFILE_KEY} and its settings stay: the driver is still registered ($0)."
    ${EndIf}
    ${If} $R4 == ""
    ${OrIf} $R4 == $R0
        DeleteRegKey HKLM "${UNINSTALL_KEY}"
    ${Else}
        !insertmacro _Leave "The entry among the installed programs stays: it is the install's in $R4."
    ${EndIf}
    !insertmacro DeleteKeyIfEmpty "${INSTALLS_KEY}"
    !insertmacro DeleteKeyIfEmpty "Software\Morvantis\Focuser"
    !insertmacro DeleteKeyIfEmpty "Software\Morvantis"

    ${If} $Kept == ""
        StrCpy $UnFinishText "$(MUI_UNTEXT_FINISH_INFO_TEXT)"
    ${Else}
        StrCpy $UnFinishText "$(^NameDA) was removed from $INSTDIR. What is not this install's alone stays:$Kept"
    ${EndIf}
    !insertmacro Log "Uninstalled from $INSTDIR."
SectionEnd

; The Windows installer of kestran-setup, made by scripts/build-windows with
; makensis -DVERSION=... -DSTAGE=<folder of the programs> -DOUTFILE=... -DFILELIST=...
; FILELIST is an include made by the build: the install and uninstall lines
; of every file in STAGE, so the uninstaller removes exactly what was installed.
;
; Silent install and uninstall for fleets: setup.exe /S, uninstall.exe /S.
; kestran-ctl goes on the system PATH unless the component is unticked (or,
; silently, with /NOPATH on the command line).
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "x64.nsh"
!include "WordFunc.nsh"
!include "FileFunc.nsh"

!define PRODUCT "kestran-setup"
!define PUBLISHER "kestran-setup developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kestran-setup"
!define ENV_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!include "${FILELIST}"

Name "KESTRAN SETUP ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\kestran-setup"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "kestran-setup"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "kestran-setup ${VERSION} installer"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "2026 kestran-setup developers (MIT licence)"

!define MUI_ICON "${STAGE}\kestran-setup.ico"
!define MUI_UNICON "${STAGE}\kestran-setup.ico"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    SetRegView 64
    ${IfNot} ${RunningX64}
        MessageBox MB_ICONSTOP "kestran-setup needs 64-bit Windows." /SD IDOK
        Abort
    ${EndIf}
    ${GetOptions} $CMDLINE "/NOPATH" $0
    ${IfNot} ${Errors}
        SectionSetFlags 1 0
    ${EndIf}
FunctionEnd

Function un.onInit
    SetRegView 64
FunctionEnd

Section "kestran-setup and kestran-ctl" SecMain
    SectionIn RO
    SetOutPath "$INSTDIR"
    !insertmacro INSTALL_FILES
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortcut "$SMPROGRAMS\KESTRAN SETUP.lnk" "$INSTDIR\kestran-setup.exe" "" "$INSTDIR\kestran-setup.exe" 0

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "KESTRAN SETUP"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kestran-setup.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "kestran-ctl on the PATH" SecPath
    ReadRegStr $0 HKLM "${ENV_KEY}" "Path"
    ${WordReplace} "$0" ";$INSTDIR" "" "+" $0
    StrCpy $0 "$0;$INSTDIR"
    WriteRegExpandStr HKLM "${ENV_KEY}" "Path" "$0"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "OnPath" 1
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
SectionEnd

LangString DESC_SecMain ${LANG_ENGLISH} "The window (Start menu: KESTRAN SETUP) and the command-line program."
LangString DESC_SecPath ${LANG_ENGLISH} "Lets kestran-ctl run from any command prompt or PowerShell."
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecMain} $(DESC_SecMain)
    !insertmacro MUI_DESCRIPTION_TEXT ${SecPath} $(DESC_SecPath)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Section "Uninstall"
    ReadRegStr $0 HKLM "${ENV_KEY}" "Path"
    ${un.WordReplace} "$0" ";$INSTDIR" "" "+" $1
    ${If} $1 != $0
        WriteRegExpandStr HKLM "${ENV_KEY}" "Path" "$1"
        SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
    ${EndIf}
    Delete "$SMPROGRAMS\KESTRAN SETUP.lnk"
    !insertmacro UNINSTALL_FILES
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

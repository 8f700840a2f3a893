; The Windows installer: the program, the Qt and MinGW runtime DLLs it loads,
; the Windows platform plugin and style, nothing more. makensis gets VERSION,
; PUBLISHER, HomePage and HelpPage, FILES and UNFILES (written by
; runtime-files.sh), OUTFILE, ICON, WIZARD and HEADER (the artwork) and, to
; sign, SIGN (sign.sh) from the build (installer/CMakeLists.txt).
;
; Just for the user by default, without administrator rights; for everyone
; with /ALLUSERS or on the scope page, which asks for them then. /CURRENTUSER
; keeps an upgrade to the user alone; /FORCE installs over a newer version.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "WordFunc.nsh"
!include "nsDialogs.nsh"

!define PRODUCT "Belfry"
!define EXE "belfry.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; The running program's settings, where its client id names its pipe.
!define SETTINGS "$APPDATA\${PUBLISHER}\${PRODUCT}.ini"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PUBLISHER} ${PRODUCT} ${VERSION}"
!ifdef SIGN
  !finalize 'bash "${SIGN}" "%1"'
  !uninstfinalize 'bash "${SIGN}" "%1"'
!endif

Var AllUsers       ; 1: for everyone (HKLM, Program Files, every user's Start menu)
Var Installed      ; the version already installed, or empty
Var InstalledDir   ; where it is
Var WasRunning     ; 1: this user's copy ran before it was asked to quit
Var ScopeRadio
Var Welcome        ; a first install's or an upgrade's

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_HEADERIMAGE
!define MUI_HEADERIMAGE_RIGHT
!define MUI_HEADERIMAGE_BITMAP "${HEADER}"
!define MUI_HEADERIMAGE_UNBITMAP "${HEADER}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

!define MUI_WELCOMEPAGE_TEXT "$Welcome"
!insertmacro MUI_PAGE_WELCOME
Page custom ScopePage ScopeLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION StartBelfry
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; English first: a system in a language the installer does not speak gets it.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString WelcomeNew ${LANG_ENGLISH} "Setup will install $(^NameDA) on your computer. Belfry brings the ringtones you choose on your phone into iTunes.$\r$\n$\r$\nClick Next to continue."
LangString WelcomeNew ${LANG_SIMPCHINESE} "安装程序将在您的电脑上安装 $(^NameDA)。Belfry 会把您在手机上选好的铃声送进 iTunes。$\r$\n$\r$\n单击“下一步”继续。"
LangString WelcomeUpgrade ${LANG_ENGLISH} "Belfry $Installed is installed in $INSTDIR. Setup will upgrade it to ${VERSION} and keep your settings, your ringtones and your choice of starting with Windows. A running Belfry is closed first and started again afterwards.$\r$\n$\r$\nClick Next to continue."
LangString WelcomeUpgrade ${LANG_SIMPCHINESE} "Belfry $Installed 已安装在 $INSTDIR。安装程序将把它升级到 ${VERSION}，并保留您的设置、铃声和“开机时启动”的选择。正在运行的 Belfry 会先被关闭，升级后再次启动。$\r$\n$\r$\n单击“下一步”继续。"
LangString Newer ${LANG_ENGLISH} "Belfry $Installed is installed, which is newer than ${VERSION}.$\r$\nReplace it with the older version?"
LangString Newer ${LANG_SIMPCHINESE} "已安装的 Belfry $Installed 比 ${VERSION} 新。$\r$\n要用旧版本替换它吗？"
LangString ScopeTitle ${LANG_ENGLISH} "Choose Users"
LangString ScopeTitle ${LANG_SIMPCHINESE} "选择用户"
LangString ScopeSubtitle ${LANG_ENGLISH} "Choose for whom to install $(^NameDA)."
LangString ScopeSubtitle ${LANG_SIMPCHINESE} "选择为哪些用户安装 $(^NameDA)。"
LangString ScopeJustMe ${LANG_ENGLISH} "Just for me (recommended; no administrator rights needed)"
LangString ScopeJustMe ${LANG_SIMPCHINESE} "仅为我安装（推荐；无需管理员权限）"
LangString ScopeEveryone ${LANG_ENGLISH} "For everyone using this computer (needs administrator rights)"
LangString ScopeEveryone ${LANG_SIMPCHINESE} "为使用这台电脑的所有人安装（需要管理员权限）"
LangString SecAutostartName ${LANG_ENGLISH} "Start with Windows"
LangString SecAutostartName ${LANG_SIMPCHINESE} "开机时启动"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright ${PUBLISHER}"

!macro SET_SCOPE
  ${If} $AllUsers = 1
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
!macroend

; Everyone's scope needs administrator rights: without them, this installer
; starts again elevated with the same options and ends.
!macro ELEVATE_FOR_EVERYONE
  ${If} $AllUsers = 1
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
      ${GetParameters} $0
      ExecShellWait "runas" "$EXEPATH" "$0 /ALLUSERS"
      Quit
    ${EndIf}
  ${EndIf}
!macroend

; Asks this user's running copy to quit through its single-instance pipe, as
; its tray menu's quit does (farewell beat and all), waits for it, and only
; then ends what remains of it. Other users' copies are theirs.
!macro CLOSE_RUNNING un
Function ${un}CloseRunning
  StrCpy $R1 0
  Call ${un}CountOurCopies
  ${If} $R0 = 0
    Return
  ${EndIf}
  StrCpy $WasRunning 1
  SetShellVarContext current
  ReadINIStr $0 "${SETTINGS}" "General" "PCID"
  !insertmacro SET_SCOPE
  ; As the program names its pipe: the name is never a path.
  ${WordReplace} "$0" "/" "_" "+" $0
  ${WordReplace} "$0" "\" "_" "+" $0
  System::Call 'kernel32::CreateFileW(w "\\.\pipe\$0", i 0x40000000, i 0, p 0, i 3, i 0, p 0) p .r1'
  ${If} $1 != -1
    System::Call 'kernel32::WriteFile(p r1, m "quit", i 4, *i .r2, p 0)'
    System::Call 'kernel32::CloseHandle(p r1)'
  ${EndIf}
  ; The program says farewell and ends three seconds after its quit.
  ${For} $3 1 40
    Call ${un}CountOurCopies
    ${IfThen} $R0 = 0 ${|} Return ${|}
    Sleep 250
  ${Next}
  StrCpy $R1 1
  Call ${un}CountOurCopies
FunctionEnd

; $R0: how many belfry.exe run in this session, the user's own; they are
; ended when $R1 is 1.
Function ${un}CountOurCopies
  StrCpy $R0 0
  System::Call 'kernel32::GetCurrentProcessId() i .r5'
  System::Call 'kernel32::ProcessIdToSessionId(i r5, *i .r5)'
  System::Call 'kernel32::CreateToolhelp32Snapshot(i 2, i 0) p .r6'
  ; PROCESSENTRY32W, laid out for 64 bits.
  System::Call '*(i 568, i, i, i, l, i, i, i, i, i, &w260, i) p .r7'
  System::Call 'kernel32::Process32FirstW(p r6, p r7) i .r8'
  ${DoWhile} $8 <> 0
    System::Call '*$7(i, i, i .r9, i, l, i, i, i, i, i, &w260 .r4)'
    System::Call 'kernel32::ProcessIdToSessionId(i r9, *i .r2)'
    ${If} $4 == "${EXE}"
    ${AndIf} $2 = $5
      IntOp $R0 $R0 + 1
      ${If} $R1 = 1
        System::Call 'kernel32::OpenProcess(i 1, i 0, i r9) p .r2'
        System::Call 'kernel32::TerminateProcess(p r2, i 1)'
        System::Call 'kernel32::WaitForSingleObject(p r2, i 5000)'
        System::Call 'kernel32::CloseHandle(p r2)'
      ${EndIf}
    ${EndIf}
    System::Call 'kernel32::Process32NextW(p r6, p r7) i .r8'
  ${Loop}
  System::Free $7
  System::Call 'kernel32::CloseHandle(p r6)'
FunctionEnd
!macroend
!insertmacro CLOSE_RUNNING ""
!insertmacro CLOSE_RUNNING "un."

; The program as the signed-in user: run by an elevated installer (everyone's
; scope), it would get the administrator's rights, so Explorer starts it.
Function StartBelfry
  ${If} $AllUsers = 1
    Exec '"$WINDIR\explorer.exe" "$INSTDIR\${EXE}"'
  ${Else}
    Exec '"$INSTDIR\${EXE}"'
  ${EndIf}
FunctionEnd

Section "Belfry" SecProgram
  SectionIn RO
  Call CloseRunning
  ; Another folder than the installed copy's: that copy goes first.
  ${If} $InstalledDir != ""
  ${AndIf} $InstalledDir != $INSTDIR
  ${AndIf} ${FileExists} "$InstalledDir\${EXE}"
    ExecWait '"$InstalledDir\uninstall.exe" /S _?=$InstalledDir'
    Delete "$InstalledDir\uninstall.exe"
    RMDir "$InstalledDir"
  ${EndIf}
  SetOutPath "$INSTDIR"
  !include "${FILES}"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${EXE}"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "URLInfoAbout" "${HomePage}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "HelpLink" "${HelpPage}"
  ${GetTime} "" "L" $0 $1 $2 $3 $4 $5 $6
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallDate" "$2$1$0"
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ; The next section puts it back when it stays ticked.
  DeleteRegValue SHCTX "${RUN_KEY}" "${PRODUCT}"
SectionEnd

; On for a first install, in a silent one too; an upgrade keeps the choice.
Section "$(SecAutostartName)" SecAutostart
  WriteRegStr SHCTX "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\${EXE}"'
SectionEnd

Section "-Restart"
  ${If} $WasRunning = 1
    Call StartBelfry
  ${EndIf}
SectionEnd

Section "Uninstall"
  Call un.CloseRunning
  DeleteRegValue SHCTX "${RUN_KEY}" "${PRODUCT}"
  ; Written by the program's own "start with Windows" switch.
  DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  ; Exactly the installed files: the user's settings (in %APPDATA%) and the
  ; ringtones (in the Music folder) are never under $INSTDIR.
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ${If} $AllUsers = 1
    RMDir "$INSTDIR\.."
  ${EndIf}
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd

Function .onInit
  SetRegView 64
  ${GetParameters} $R9
  ClearErrors
  ${GetOptions} $R9 "/ALLUSERS" $0
  ${IfNot} ${Errors}
    StrCpy $AllUsers 1
  ${EndIf}
  Call FindInstalled
  !insertmacro ELEVATE_FOR_EVERYONE
  Call RefuseDowngrade
  Call SetDefaults
  ${If} $Installed == ""
    StrCpy $Welcome "$(WelcomeNew)"
  ${Else}
    StrCpy $Welcome "$(WelcomeUpgrade)"
  ${EndIf}
FunctionEnd

; An installed copy, just the user's first: its scope, unless the command line
; names one, its folder and its version.
Function FindInstalled
  ClearErrors
  ${GetOptions} $R9 "/CURRENTUSER" $0
  ${If} ${Errors}
  ${AndIf} $AllUsers != 1
    ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 == ""
    ${AndIf} $1 != ""
      StrCpy $AllUsers 1
    ${EndIf}
  ${EndIf}
  ${IfThen} $AllUsers != 1 ${|} StrCpy $AllUsers 0 ${|}
  !insertmacro SET_SCOPE
  ReadRegStr $InstalledDir SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $Installed SHCTX "${UNINSTALL_KEY}" "DisplayVersion"
FunctionEnd

Function RefuseDowngrade
  ${If} $Installed == ""
    Return
  ${EndIf}
  ${VersionCompare} "$Installed" "${VERSION}" $0
  ClearErrors
  ${GetOptions} $R9 "/FORCE" $1
  ${If} $0 = 1
  ${AndIf} ${Errors}
    MessageBox MB_YESNO|MB_ICONEXCLAMATION "$(Newer)" /SD IDNO IDYES +3
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

Function SetDefaults
  ${If} $INSTDIR != ""
    ; From /D=.
  ${ElseIf} $InstalledDir != ""
    StrCpy $INSTDIR $InstalledDir
  ${Else}
    Call DefaultFolder
  ${EndIf}
  ${If} $Installed != ""
    ClearErrors
    ReadRegStr $0 SHCTX "${RUN_KEY}" "${PRODUCT}"
    ${If} ${Errors}
      !insertmacro UnselectSection ${SecAutostart}
    ${EndIf}
  ${EndIf}
FunctionEnd

Function DefaultFolder
  ${If} $AllUsers = 1
    StrCpy $INSTDIR "$PROGRAMFILES64\${PUBLISHER}\${PRODUCT}"
  ${Else}
    StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${PRODUCT}"
  ${EndIf}
FunctionEnd

Function ScopePage
  ; An upgrade keeps its scope, and so does a scope given on the command line.
  ${If} $Installed != ""
    Abort
  ${EndIf}
  ClearErrors
  ${GetOptions} $R9 "/ALLUSERS" $0
  ${IfNot} ${Errors}
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "$(ScopeTitle)" "$(ScopeSubtitle)"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateRadioButton} 0 10u 100% 12u "$(ScopeJustMe)"
  Pop $ScopeRadio
  ${NSD_CreateRadioButton} 0 30u 100% 12u "$(ScopeEveryone)"
  Pop $0
  ${If} $AllUsers = 1
    ${NSD_Check} $0
  ${Else}
    ${NSD_Check} $ScopeRadio
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ScopeLeave
  ${NSD_GetState} $ScopeRadio $0
  ${If} $0 = ${BST_CHECKED}
    StrCpy $AllUsers 0
  ${Else}
    StrCpy $AllUsers 1
    !insertmacro ELEVATE_FOR_EVERYONE
  ${EndIf}
  !insertmacro SET_SCOPE
  Call DefaultFolder
FunctionEnd

; The scope is the one whose uninstall entry names this folder.
Function un.onInit
  SetRegView 64
  StrCpy $AllUsers 0
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    StrCpy $AllUsers 1
  ${EndIf}
  !insertmacro ELEVATE_FOR_EVERYONE
  !insertmacro SET_SCOPE
FunctionEnd

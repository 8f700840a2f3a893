; The Windows installer: the program, the Qt and MinGW runtime DLLs it loads,
; the Windows platform plugin and style, nothing more. makensis gets VERSION,
; PUBLISHER, HomePage and HelpPage, FILES and UNFILES (written by
; runtime-files.sh), OUTFILE, ICON, WIZARD and HEADER (the artwork) and, to
; sign, SIGN (sign.sh) from the build (installer/CMakeLists.txt).
;
; The uninstaller is made first: NSIS writes it from the running installer,
; whose version information it would carry. Built with UNINSTALLER_ONLY, this
; script is a program that writes uninstall.exe beside itself, with its own
; description, and nothing else; the build runs it under Wine and passes the
; result as UNINSTALLER to the installer, which carries it as a file.
;
; Just for the user by default, without administrator rights; for everyone
; with /ALLUSERS or on the scope page, which asks for them then. /CURRENTUSER
; keeps an upgrade to the user alone; /FORCE installs over a newer version.
; One copy per machine: a copy in the other scope is offered for removal.
; Exit codes beyond NSIS's own (1 cancelled): 2 a newer version refused, 1223
; administrator rights refused, 1618 another setup running.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true
!ifdef UNINSTALLER
  ; The uninstaller's code is compiled here too, but its program is the one
  ; made beforehand.
  !pragma warning disable 6020
!endif

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
  !ifdef UNINSTALLER_ONLY
    !uninstfinalize 'bash "${SIGN}" "%1"'
  !else
    !finalize 'bash "${SIGN}" "%1"'
  !endif
!endif

Var AllUsers       ; 1: for everyone (HKLM, Program Files, every user's Start menu)
Var Installed      ; the version already installed, or empty
Var InstalledDir   ; where it is
Var WasRunning     ; 1: this user's copy ran before it was asked to quit
Var ScopeRadio
Var EveryoneRadio
Var Welcome        ; a first install's or an upgrade's
Var OtherDir       ; a copy in the other scope, or empty
Var RemoveOther    ; 1: that copy goes before this one is installed
Var Mutex          ; held while this installer runs
Var Registered     ; 1: an uninstall entry names the folder being removed

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_HEADERIMAGE
!define MUI_HEADERIMAGE_RIGHT
!define MUI_HEADERIMAGE_BITMAP "${HEADER}"
!define MUI_HEADERIMAGE_UNBITMAP "${HEADER}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WIZARD}"
; Drawn taller than the page at 96 dpi: stretched, the bell is an egg in
; Chinese, whose font makes the page taller; as it is, the page cuts it.
!define MUI_WELCOMEFINISHPAGE_BITMAP_STRETCH NoStretchNoCropNoAlign
!define MUI_UNWELCOMEFINISHPAGE_BITMAP_STRETCH NoStretchNoCropNoAlign
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

!define MUI_WELCOMEPAGE_TEXT "$Welcome"
!define MUI_PAGE_CUSTOMFUNCTION_PRE WelcomePre
!insertmacro MUI_PAGE_WELCOME
Page custom ScopePage ScopeLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION StartBelfry
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishShow
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
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
LangString SecSettingsName ${LANG_ENGLISH} "Your settings (the ringtones stay)"
LangString SecSettingsName ${LANG_SIMPCHINESE} "您的设置（铃声会保留）"
LangString ElevateRefused ${LANG_ENGLISH} "Belfry was not installed: installing it for everyone needs administrator rights."
LangString ElevateRefused ${LANG_SIMPCHINESE} "Belfry 未安装：为所有人安装需要管理员权限。"
LangString UnElevateRefused ${LANG_ENGLISH} "Belfry was not removed: it is installed for everyone, and removing it needs administrator rights."
LangString UnElevateRefused ${LANG_SIMPCHINESE} "Belfry 未卸载：它是为所有人安装的，卸载需要管理员权限。"
LangString AlreadyRunning ${LANG_ENGLISH} "Another Belfry setup is running. Finish it first."
LangString AlreadyRunning ${LANG_SIMPCHINESE} "另一个 Belfry 安装程序正在运行。请先完成它。"
LangString OtherForMe ${LANG_ENGLISH} "Belfry is also installed for you alone, in $OtherDir.$\r$\nRemove that copy, so that one Belfry is left on this computer?"
LangString OtherForMe ${LANG_SIMPCHINESE} "Belfry 另有一份仅为您安装在 $OtherDir。$\r$\n要删除那一份，让这台电脑上只留一个 Belfry 吗？"
LangString OtherForEveryone ${LANG_ENGLISH} "Belfry is also installed for everyone, in $OtherDir.$\r$\nRemove that copy, so that one Belfry is left on this computer? Removing it needs administrator rights."
LangString OtherForEveryone ${LANG_SIMPCHINESE} "Belfry 另有一份为所有人安装在 $OtherDir。$\r$\n要删除那一份，让这台电脑上只留一个 Belfry 吗？删除它需要管理员权限。"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
!ifdef UNINSTALLER_ONLY
  VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} Uninstaller"
!else
  VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} Setup"
!endif
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
!define /date YEAR "%Y"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "© ${YEAR} ${PUBLISHER}"

!macro SET_SCOPE
  ${If} $AllUsers = 1
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
!macroend

; Everyone's scope needs administrator rights: without them, this program
; starts again elevated with the command line PARAMS, waits for it and ends
; with its exit code; a declined prompt says what was not done.
!macro ELEVATE_FOR_EVERYONE un PARAMS REFUSED
  ${If} $AllUsers = 1
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
      StrCpy $0 "${PARAMS}"
      ; The wizard, when it shows, waits hidden behind the elevated one.
      HideWindow
      Call ${un}RunElevated
      ${If} $0 = 1223
        MessageBox MB_OK|MB_ICONSTOP "${REFUSED}" /SD IDOK
      ${EndIf}
      SetErrorLevel $0
      Quit
    ${EndIf}
  ${EndIf}
!macroend

; Runs this program with administrator rights and the command line in $0,
; and waits for it: $0 is its exit code, or why it did not start (1223,
; ERROR_CANCELLED, for a declined prompt). The other copy takes the mutex.
!macro RUN_ELEVATED un
Function ${un}RunElevated
  ${If} $Mutex != ""
    System::Call 'kernel32::CloseHandle(p $Mutex)'
    StrCpy $Mutex ""
  ${EndIf}
  System::Call '*(&w16 "runas") p .r1'
  System::Call '*(&w${NSIS_MAX_STRLEN} r0) p .r2'
  System::Call '*(&w${NSIS_MAX_STRLEN} "$EXEPATH") p .r3'
  ; SHELLEXECUTEINFOW laid out for 64 bits (padding after nShow and
  ; dwHotKey); SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC, SW_SHOWNORMAL.
  System::Call '*(i 112, i 0x140, p $HWNDPARENT, p r1, p r3, p r2, p 0, i 1, i 0, p 0, p 0, p 0, p 0, i 0, i 0, p 0, p 0) p .r4'
  System::Call 'shell32::ShellExecuteExW(p r4) i .r5 ?e'
  Pop $0
  ${If} $5 <> 0
    System::Call '*$4(i, i, p, p, p, p, p, i, i, p, p, p, p, i, i, p, p .r6)'
    System::Call 'kernel32::WaitForSingleObject(p r6, i -1)'
    System::Call 'kernel32::GetExitCodeProcess(p r6, *i .r0)'
    System::Call 'kernel32::CloseHandle(p r6)'
  ${EndIf}
  System::Free $4
  System::Free $3
  System::Free $2
  System::Free $1
FunctionEnd
!macroend
!insertmacro RUN_ELEVATED ""
!insertmacro RUN_ELEVATED "un."

; A line for the log in %TEMP%, which tells what a silent install did beyond
; the obvious.
!macro LOG TEXT
  DetailPrint "${TEXT}"
  FileOpen $9 "$TEMP\${PRODUCT}-Setup.log" a
  FileSeek $9 0 END
  FileWriteUTF16LE $9 "${TEXT}$\r$\n"
  FileClose $9
!macroend

; Asks this user's running copy to quit through its single-instance pipe, as
; its tray menu's quit does (farewell beat and all), waits for it, and only
; then ends what remains of it. Other users' copies are theirs, and so is a
; copy in another folder than the one being replaced.
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

; $R0: how many copies of this installation run in this session, the user's
; own; when $R1 is 1 they are ended, and waited for, so that their files can
; be replaced.
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
      ; SYNCHRONIZE (to wait) | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE
      System::Call 'kernel32::OpenProcess(i 0x101001, i 0, i r9) p .r2'
      ; $3 is CloseRunning's.
      StrCpy $R2 ""
      System::Call 'kernel32::QueryFullProcessImageNameW(p r2, i 0, w .R2, *i ${NSIS_MAX_STRLEN})'
      ${If} $R2 == "$INSTDIR\${EXE}"
      ${OrIf} $R2 == "$InstalledDir\${EXE}"
        IntOp $R0 $R0 + 1
        ${If} $R1 = 1
          System::Call 'kernel32::TerminateProcess(p r2, i 1)'
          System::Call 'kernel32::WaitForSingleObject(p r2, i 5000)'
        ${EndIf}
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r2)'
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

; Removes the copy in the folder $0 with its own uninstaller, run from a
; copy so that it can delete itself; for everyone's copy that uninstaller
; asks for administrator rights itself. $0: its exit code.
Function RemoveCopy
  InitPluginsDir
  CopyFiles /SILENT "$0\uninstall.exe" "$PLUGINSDIR\uninstall.exe"
  ExecWait '"$PLUGINSDIR\uninstall.exe" /S _?=$0' $1
  Delete "$PLUGINSDIR\uninstall.exe"
  RMDir "$0"
  StrCpy $0 $1
FunctionEnd

Section "Belfry" SecProgram
  SectionIn RO
  Call CloseRunning
  ; Another folder than the installed copy's: that copy goes first.
  ${If} $InstalledDir != ""
  ${AndIf} $InstalledDir != $INSTDIR
  ${AndIf} ${FileExists} "$InstalledDir\${EXE}"
    StrCpy $0 $InstalledDir
    Call RemoveCopy
  ${EndIf}
  Call RemoveOtherScope
  SetOutPath "$INSTDIR"
!ifndef UNINSTALLER_ONLY
  !include "${FILES}"
  File "/oname=uninstall.exe" "${UNINSTALLER}"
!endif

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${EXE}"

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

; The copy in the other scope, when it was to go (OfferRemoval).
Function RemoveOtherScope
  ${If} $OtherDir == ""
    Return
  ${ElseIf} $RemoveOther != 1
    !insertmacro LOG "Kept the other copy of ${PRODUCT} in $OtherDir"
    Return
  ${EndIf}
  StrCpy $0 $OtherDir
  Call RemoveCopy
  ${If} $0 = 0
    !insertmacro LOG "Removed the other copy of ${PRODUCT} in $OtherDir"
  ${Else}
    !insertmacro LOG "Could not remove the other copy of ${PRODUCT} in $OtherDir (exit code $0)"
  ${EndIf}
FunctionEnd

; The entries of this copy's scope. A folder that no uninstall entry names
; has none: the entries there are another copy's.
Function un.Unregister
  ${If} $Registered = 1
    DeleteRegValue SHCTX "${RUN_KEY}" "${PRODUCT}"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ${EndIf}
  ; The program's own "start with Windows" switch writes the user's value,
  ; naming itself: another copy's value is that copy's.
  ReadRegStr $0 HKCU "${RUN_KEY}" "${PRODUCT}"
  ${If} $0 == '"$INSTDIR\${EXE}"'
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  ${EndIf}
FunctionEnd

Section "-un.Belfry"
  Call un.CloseRunning
  Call un.Unregister
  ; Exactly the installed files: the user's settings (in %APPDATA%) and the
  ; ringtones (in the Music folder) are never under $INSTDIR.
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ${If} $AllUsers = 1
    RMDir "$INSTDIR\.."
  ${EndIf}
SectionEnd

; Off unless ticked: the user's settings, never the ringtones, which are in
; iTunes' folder.
Section /o "un.$(SecSettingsName)" SecUnSettings
  SetShellVarContext current
  Delete "${SETTINGS}"
  RMDir "$APPDATA\${PUBLISHER}"
  !insertmacro SET_SCOPE
SectionEnd

Function .onInit
!ifdef UNINSTALLER_ONLY
  WriteUninstaller "$EXEDIR\uninstall.exe"
  SetErrorLevel 0
  Quit
!endif
  SetRegView 64
  ${GetParameters} $R9
  ClearErrors
  ${GetOptions} $R9 "/ALLUSERS" $0
  ${IfNot} ${Errors}
    StrCpy $AllUsers 1
  ${EndIf}
  ; Two installers at once would replace the same files and entries.
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "Global\${PRODUCT}-Setup") p .r0 ?e'
  Pop $1
  StrCpy $Mutex $0
  ${If} $1 = 183
    MessageBox MB_OK|MB_ICONSTOP "$(AlreadyRunning)" /SD IDOK
    SetErrorLevel 1618
    Quit
  ${EndIf}
  Call FindInstalled
  !insertmacro ELEVATE_FOR_EVERYONE "" "$R9 /ALLUSERS" "$(ElevateRefused)"
  Call RefuseDowngrade
  Call SetDefaults
  Call OfferRemoval
  ${If} $Installed == ""
    StrCpy $Welcome "$(WelcomeNew)"
  ${Else}
    StrCpy $Welcome "$(WelcomeUpgrade)"
  ${EndIf}
FunctionEnd

; A copy in the other scope goes when the user says so; silently, a copy of
; the user's own makes way for one for everyone, and everyone's copy stays
; (removing it would need a prompt for rights).
Function OfferRemoval
  ${If} $OtherDir == ""
    Return
  ${ElseIf} ${Silent}
    StrCpy $RemoveOther $AllUsers
  ${ElseIf} $AllUsers = 1
    MessageBox MB_YESNO|MB_ICONQUESTION "$(OtherForMe)" IDNO +2
    StrCpy $RemoveOther 1
  ${Else}
    MessageBox MB_YESNO|MB_ICONQUESTION "$(OtherForEveryone)" IDNO +2
    StrCpy $RemoveOther 1
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
  ${If} $AllUsers = 1
    ReadRegStr $OtherDir HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${Else}
    ReadRegStr $OtherDir HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${EndIf}
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

; The wizard started again with administrator rights from the scope page
; goes on from where it was.
Function WelcomePre
  ClearErrors
  ${GetOptions} $R9 "/NOWELCOME" $0
  ${IfNot} ${Errors}
    Abort
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
  ClearErrors
  ${GetOptions} $R9 "/CURRENTUSER" $0
  ${IfNot} ${Errors}
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "$(ScopeTitle)" "$(ScopeSubtitle)"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateRadioButton} 0 10u 100% 12u "$(ScopeJustMe)"
  Pop $ScopeRadio
  ${NSD_CreateRadioButton} 0 30u 100% 12u "$(ScopeEveryone)"
  Pop $EveryoneRadio
  ${If} $AllUsers = 1
    ${NSD_Check} $EveryoneRadio
  ${Else}
    ${NSD_Check} $ScopeRadio
  ${EndIf}
  ${NSD_OnClick} $ScopeRadio ScopeShield
  ${NSD_OnClick} $EveryoneRadio ScopeShield
  Push $EveryoneRadio
  Call ScopeShield
  nsDialogs::Show
FunctionEnd

; Next carries the shield while it would ask for administrator rights.
Function ScopeShield
  Pop $0 ; the radio clicked
  ${NSD_GetState} $EveryoneRadio $0
  UserInfo::GetAccountType
  Pop $1
  ${IfThen} $1 == "Admin" ${|} StrCpy $0 0 ${|}
  GetDlgItem $1 $HWNDPARENT 1
  SendMessage $1 ${BCM_SETSHIELD} 0 $0
FunctionEnd

Function ScopeLeave
  ${NSD_GetState} $ScopeRadio $0
  ${If} $0 = ${BST_CHECKED}
    StrCpy $AllUsers 0
  ${Else}
    StrCpy $AllUsers 1
    !insertmacro ELEVATE_FOR_EVERYONE "" "$R9 /ALLUSERS /NOWELCOME" "$(ElevateRefused)"
  ${EndIf}
  GetDlgItem $1 $HWNDPARENT 1
  SendMessage $1 ${BCM_SETSHIELD} 0 0
  !insertmacro SET_SCOPE
  Call DefaultFolder
FunctionEnd

; The scope is the one whose uninstall entry names this folder.
Function un.onInit
  SetRegView 64
  StrCpy $AllUsers 0
  StrCpy $Registered 1
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    StrCpy $AllUsers 1
  ${ElseIf} $1 != $INSTDIR
    StrCpy $Registered 0
  ${EndIf}
  ; This is the copy in %TEMP% that NSIS runs, with the folder only in $INSTDIR:
  ; the elevated copy gets it back, last on its command line, as NSIS wants.
  ${GetParameters} $1
  !insertmacro ELEVATE_FOR_EVERYONE "un." "$1 _?=$INSTDIR" "$(UnElevateRefused)"
  !insertmacro SET_SCOPE
FunctionEnd

; An automatic restart after an upgrade already ran it.
Function FinishShow
  ${If} $WasRunning = 1
    ${NSD_Uncheck} $mui.FinishPage.Run
    ShowWindow $mui.FinishPage.Run ${SW_HIDE}
  ${EndIf}
FunctionEnd

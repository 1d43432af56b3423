; "Start Wakelet when I sign in": a minimised shortcut in the user's Startup folder, made
; only when chosen, on the finish page or, in a silent install, with /AUTOSTART:
;   Wakelet-<version>-win64.exe /S /AUTOSTART
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define MUI_FINISHPAGE_SHOWREADME ""
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Start Wakelet when I sign in"
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION WakeletCreateStartupShortcut

; The Startup folder of the user who installs, whichever folders the installer uses else.
Function WakeletCreateStartupShortcut
  ${If} ${ShellVarContextAll}
    SetShellVarContext current
    CreateShortCut "$SMSTARTUP\Wakelet.lnk" "$INSTDIR\wakelet.exe" "" "" 0 SW_SHOWMINIMIZED
    SetShellVarContext all
  ${Else}
    CreateShortCut "$SMSTARTUP\Wakelet.lnk" "$INSTDIR\wakelet.exe" "" "" 0 SW_SHOWMINIMIZED
  ${EndIf}
FunctionEnd

; A silent install has no finish page: there the command line chooses.
Function WakeletStartupFromCommandLine
  ${If} ${Silent}
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/AUTOSTART" $R1
    ${IfNot} ${Errors}
      Call WakeletCreateStartupShortcut
    ${EndIf}
  ${EndIf}
FunctionEnd

; The uninstalling user's Startup folder, where the installer put the shortcut.
Function un.WakeletRemoveStartupShortcut
  ${If} ${ShellVarContextAll}
    SetShellVarContext current
    Delete "$SMSTARTUP\Wakelet.lnk"
    SetShellVarContext all
  ${Else}
    Delete "$SMSTARTUP\Wakelet.lnk"
  ${EndIf}
FunctionEnd

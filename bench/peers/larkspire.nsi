; The peer the benchmark weighs LarkspireSetup.exe against: an NSIS installer
; doing the same per-user job with the same dist/Larkspire.exe as payload.
; Built by bench/bench.py into build/bench/, never shipped.
;   makensis -DCLIENT=... -DICON=... -DOUTFILE=... [-DTARGET=x86-unicode] larkspire.nsi

!ifndef TARGET
  ; Same architecture as ours, and the only one Debian's 64-bit Wine runs.
  !define TARGET amd64-unicode
!endif
Target ${TARGET}
Unicode true
; The strongest compression NSIS has, so the size comparison favours the peer.
SetCompressor /SOLID /FINAL lzma

Name "Larkspire Windows"
OutFile "${OUTFILE}"
; NSIS has one caption for all its message boxes; ours differ per question.
Caption "Larkspire telepito"
UninstallCaption "Larkspire eltavolitas"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Larkspire"
; No pages: the player sees only the message boxes, as with ours.
SilentInstall silent
SilentUnInstall silent
; The same icon set as ours, for the installer and for what it writes.
!ifdef ICON
  Icon "${ICON}"
  UninstallIcon "${ICON}"
!endif

VIProductVersion 1.0.0.0
VIFileVersion 1.0.0.0
VIAddVersionKey /LANG=1033 CompanyName "Larkspire"
VIAddVersionKey /LANG=1033 FileDescription "Larkspire Windows Client"
VIAddVersionKey /LANG=1033 FileVersion "1.0.0.0"
VIAddVersionKey /LANG=1033 InternalName "Larkspire"
VIAddVersionKey /LANG=1033 OriginalFilename "LarkspireSetup.exe"
VIAddVersionKey /LANG=1033 ProductName "Larkspire Windows"
VIAddVersionKey /LANG=1033 ProductVersion "1.0.0.0"
VIAddVersionKey /LANG=1033 LegalCopyright "Copyright (C) 2026 the Larkspire developers"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\LarkspireDesktop"
!define DESCRIPTION "Larkspire - online multiplayer quiz"

Function .onInit
  SetShellVarContext current
  MessageBox MB_YESNO|MB_ICONQUESTION "Larkspire Windows 1.0.0$\n$\nTelepites a sajat felhasznaloi profilba, asztali es Start menu parancsikonnal.$\nMicrosoft Edge es internet szukseges. Ez online kliens, nem offline jatek.$\n$\nFolytatod a telepitest?" IDYES +2
  Abort
FunctionEnd

Section
  ; Also the working directory of the shortcuts made below.
  SetOutPath "$INSTDIR"
  File "/oname=Larkspire.exe" "${CLIENT}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateDirectory "$SMPROGRAMS\Larkspire"
  CreateShortcut "$DESKTOP\Larkspire.lnk" "$INSTDIR\Larkspire.exe" "" "$INSTDIR\Larkspire.exe" 0 SW_SHOWNORMAL "" "${DESCRIPTION}"
  CreateShortcut "$SMPROGRAMS\Larkspire\Larkspire.lnk" "$INSTDIR\Larkspire.exe" "" "$INSTDIR\Larkspire.exe" 0 SW_SHOWNORMAL "" "${DESCRIPTION}"
  ; The NSIS uninstaller needs no option to know it should uninstall.
  CreateShortcut "$SMPROGRAMS\Larkspire\Uninstall Larkspire.lnk" "$INSTDIR\Uninstall.exe" "" "$INSTDIR\Larkspire.exe" 0 SW_SHOWNORMAL "" "${DESCRIPTION}"

  WriteRegStr HKCU "${UNINSTALL_KEY}" DisplayName "Larkspire Windows"
  WriteRegStr HKCU "${UNINSTALL_KEY}" DisplayVersion "1.0.0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" Publisher "Larkspire"
  WriteRegStr HKCU "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" DisplayIcon "$INSTDIR\Larkspire.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" URLInfoAbout "https://larkspire.game"
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" NoRepair 1

  MessageBox MB_YESNO|MB_ICONQUESTION "A Larkspire Windows telepitese elkeszult.$\n$\nInditod most a jatekot?" IDNO done
  Exec '"$INSTDIR\Larkspire.exe"'
done:
SectionEnd

Function un.onInit
  SetShellVarContext current
  MessageBox MB_YESNO|MB_ICONQUESTION "Eltavolitod a Larkspire Windows klienst es a parancsikonjait?$\n$\nA szerveren levo fiokod es egyenleged nem valtozik. A helyi bongeszoprofil megmarad.$\nZard be elotte a Larkspire ablakot." IDYES +2
  Abort
FunctionEnd

Section Uninstall
  ; A running client holds its image open: stop before removing anything.
  ClearErrors
  Delete "$INSTDIR\Larkspire.exe"
  IfErrors 0 +3
    MessageBox MB_OK|MB_ICONSTOP "A Larkspire.exe nem torolheto. Zard be a jatekot, majd probald ujra."
    Quit
  Delete "$DESKTOP\Larkspire.lnk"
  Delete "$SMPROGRAMS\Larkspire\Larkspire.lnk"
  Delete "$SMPROGRAMS\Larkspire\Uninstall Larkspire.lnk"
  RMDir "$SMPROGRAMS\Larkspire"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ; NSIS runs the uninstaller from a copy in %TEMP%, so it can delete the
  ; original and the folder itself, with no delayed helper.
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd

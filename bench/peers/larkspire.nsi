; The peer the benchmark weighs our installer against: an NSIS installer
; doing the same per-user job with the same dist/ client as payload.
; Built by bench/bench.py into build/bench/, never shipped. The product's facts
; come from common/product.json, one define a fact named as its key in upper
; case (NAME, VERSION, CLIENT_EXE...), and VERSION_QUAD beside them.
;   makensis -DCLIENT=... -DICON=... -DOUTFILE=... -DNAME=... [-DTARGET=x86-unicode] larkspire.nsi

!ifndef TARGET
  ; Same architecture as ours, and the only one Debian's 64-bit Wine runs.
  !define TARGET amd64-unicode
!endif
Target ${TARGET}
Unicode true
; The strongest compression NSIS has, so the size comparison favours the peer.
SetCompressor /SOLID /FINAL lzma

Name "${DISPLAY_NAME}"
OutFile "${OUTFILE}"
; NSIS has one caption for all its message boxes; ours differ per question.
Caption "${NAME} telepito"
UninstallCaption "${NAME} eltavolitas"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${NAME}"
; No pages: the player sees only the message boxes, as with ours.
SilentInstall silent
SilentUnInstall silent
; The same icon set as ours, for the installer and for what it writes.
!ifdef ICON
  Icon "${ICON}"
  UninstallIcon "${ICON}"
!endif

VIProductVersion ${VERSION_QUAD}
VIFileVersion ${VERSION_QUAD}
VIAddVersionKey /LANG=1033 CompanyName "${PUBLISHER}"
VIAddVersionKey /LANG=1033 FileDescription "${DESCRIPTION}"
VIAddVersionKey /LANG=1033 FileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=1033 InternalName "${NAME}"
VIAddVersionKey /LANG=1033 OriginalFilename "${INSTALLER_EXE}"
VIAddVersionKey /LANG=1033 ProductName "${DISPLAY_NAME}"
VIAddVersionKey /LANG=1033 ProductVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=1033 LegalCopyright "${COPYRIGHT}"

!define APPS_LIST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${UNINSTALL_KEY}"

Function .onInit
  SetShellVarContext current
  MessageBox MB_YESNO|MB_ICONQUESTION "${DISPLAY_NAME} ${VERSION}$\n$\nTelepites a sajat felhasznaloi profilba, asztali es Start menu parancsikonnal.$\nMicrosoft Edge es internet szukseges. Ez online kliens, nem offline jatek.$\n$\nFolytatod a telepitest?" IDYES +2
  Abort
FunctionEnd

Section
  ; Also the working directory of the shortcuts made below.
  SetOutPath "$INSTDIR"
  File "/oname=${CLIENT_EXE}" "${CLIENT}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER_EXE}"

  CreateDirectory "$SMPROGRAMS\${NAME}"
  CreateShortcut "$DESKTOP\${SHORTCUT}" "$INSTDIR\${CLIENT_EXE}" "" "$INSTDIR\${CLIENT_EXE}" 0 SW_SHOWNORMAL "" "${SHORTCUT_DESCRIPTION}"
  CreateShortcut "$SMPROGRAMS\${NAME}\${SHORTCUT}" "$INSTDIR\${CLIENT_EXE}" "" "$INSTDIR\${CLIENT_EXE}" 0 SW_SHOWNORMAL "" "${SHORTCUT_DESCRIPTION}"
  ; The NSIS uninstaller needs no option to know it should uninstall.
  CreateShortcut "$SMPROGRAMS\${NAME}\${UNINSTALL_SHORTCUT}" "$INSTDIR\${UNINSTALLER_EXE}" "" "$INSTDIR\${CLIENT_EXE}" 0 SW_SHOWNORMAL "" "${SHORTCUT_DESCRIPTION}"

  WriteRegStr HKCU "${APPS_LIST_KEY}" DisplayName "${DISPLAY_NAME}"
  WriteRegStr HKCU "${APPS_LIST_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKCU "${APPS_LIST_KEY}" Publisher "${PUBLISHER}"
  WriteRegStr HKCU "${APPS_LIST_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKCU "${APPS_LIST_KEY}" DisplayIcon "$INSTDIR\${CLIENT_EXE}"
  WriteRegStr HKCU "${APPS_LIST_KEY}" UninstallString '"$INSTDIR\${UNINSTALLER_EXE}"'
  WriteRegStr HKCU "${APPS_LIST_KEY}" URLInfoAbout "https://${HOME_HOST}"
  WriteRegDWORD HKCU "${APPS_LIST_KEY}" NoModify 1
  WriteRegDWORD HKCU "${APPS_LIST_KEY}" NoRepair 1

  MessageBox MB_YESNO|MB_ICONQUESTION "A ${DISPLAY_NAME} telepitese elkeszult.$\n$\nInditod most a jatekot?" IDNO done
  Exec '"$INSTDIR\${CLIENT_EXE}"'
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
  Delete "$INSTDIR\${CLIENT_EXE}"
  IfErrors 0 +3
    MessageBox MB_OK|MB_ICONSTOP "A Larkspire.exe nem torolheto. Zard be a jatekot, majd probald ujra."
    Quit
  Delete "$DESKTOP\${SHORTCUT}"
  Delete "$SMPROGRAMS\${NAME}\${SHORTCUT}"
  Delete "$SMPROGRAMS\${NAME}\${UNINSTALL_SHORTCUT}"
  RMDir "$SMPROGRAMS\${NAME}"
  DeleteRegKey HKCU "${APPS_LIST_KEY}"
  ; NSIS runs the uninstaller from a copy in %TEMP%, so it can delete the
  ; original and the folder itself, with no delayed helper.
  Delete "$INSTDIR\${UNINSTALLER_EXE}"
  RMDir "$INSTDIR"
SectionEnd

; zOrbentFwUpdater for Windows: the three programs under Program Files, a Start-menu entry for
; the window and an uninstaller. Built by tools/package --windows:
;   makensis -DVERSION=3.5.0 -DBIN_DIR=<folder with the three .exe and LICENSE.txt>
;            -DOUT_FILE=<setup.exe> this
; "setup.exe /S" installs silently, "uninstall.exe /S" removes everything it installed.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef VERSION | BIN_DIR | OUT_FILE
  !error "give -DVERSION=, -DBIN_DIR= and -DOUT_FILE="
!endif

!define APP "zOrbentFwUpdater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"

!include "MUI2.nsh"
!include "FileFunc.nsh"

Name "${APP} ${VERSION}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\${APP}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
BrandingText "${APP} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${APP}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 the ${APP} developers. MIT License."

; makensis works in this folder.
!define MUI_ICON "../../app/win/zorbentFwUpdater.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\zorbentFwUpdater.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start ${APP}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BIN_DIR}\zorbent-fw.exe"
  File "${BIN_DIR}\zorbentFwUpdater.exe"
  File "${BIN_DIR}\adapter-sim.exe"
  ; MIT asks for the notice to travel with the programs.
  File "${BIN_DIR}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\zorbentFwUpdater.exe" "" \
      "$INSTDIR\zorbentFwUpdater.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zorbentFwUpdater.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${APP} developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${APP}.lnk"
  Delete "$INSTDIR\zorbent-fw.exe"
  Delete "$INSTDIR\zorbentFwUpdater.exe"
  Delete "$INSTDIR\adapter-sim.exe"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Only an empty folder goes: files the user put there stay.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

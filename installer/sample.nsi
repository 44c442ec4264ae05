; Sample NSIS installer that installs the suite's files in the documented
; layout and runs menusetup and menucleanup as the suite's own installer has
; to. Built by makensis (see CMakeLists.txt beside this file) with:
;   REVISION  the release's revision, e.g. 18.2
;   TARGET    x86-unicode for the 32-bit programs, amd64-unicode for the 64-bit
;             ones (a 64-bit installer, into the 64-bit Program Files)
;   STAGE     a folder holding the installation's files in their layout
;   OUTFILE   the installer to write
;   SIGN_UNINSTALLER  (a build that signs) the command that signs the
;             uninstaller, %1, before it is packed; the build signs the
;             installer itself afterwards
; Silent: "setup.exe /S" installs (over an earlier release too),
; "uninstall.exe /S" removes. The uninstaller copies itself to a temporary
; folder, starts that copy and returns at once.

Target ${TARGET}
ManifestSupportedOS all
RequestExecutionLevel admin

!define PRODUCT "Velmora RUVO Sample"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define MENU_PROGRAMS "commonfiles\setup\menu\win32"
; Both programs append to one log in the installing user's temporary folder:
; it exists for every user (the installer unpacks its own helpers there, the
; uninstaller its copy), and a relative path would land in $OUTDIR, the
; working folder that ExecWait gives the programs.
!define MENU_LOG "$TEMP\${PRODUCT} menutools.log"

Name "${PRODUCT} ${REVISION}"
OutFile "${OUTFILE}"
!if "${TARGET}" == "amd64-unicode"
  InstallDir "$PROGRAMFILES64\${PRODUCT}"
!else
  InstallDir "$PROGRAMFILES\${PRODUCT}"
!endif
; Installing over an earlier release goes into its folder.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
SetCompressor /SOLID lzma
!ifdef SIGN_UNINSTALLER
  !uninstfinalize '${SIGN_UNINSTALLER}' = 0
!endif

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; All-users context: $SMPROGRAMS and the rest are the machine's folders, as
; menusetup's, which runs elevated like this installer.
Function .onInit
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Install"
  ; Over an earlier release: its own menucleanup first, while its relinfo.xml
  ; still names its shortcut; the files below replace both, and menusetup
  ; then makes this release's shortcut. Run after the files, the old
  ; shortcut (and a folder of it) would stay for good.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  StrCmp $0 "" +3
  IfFileExists "$0\${MENU_PROGRAMS}\menucleanup.exe" 0 +2
    ExecWait '"$0\${MENU_PROGRAMS}\menucleanup.exe" "/log=${MENU_LOG}"'

  ; The programs find the install root four folders above their own.
  SetOutPath "$INSTDIR\${MENU_PROGRAMS}"
  File "${STAGE}/commonfiles/setup/menu/win32/menusetup.exe"
  File "${STAGE}/commonfiles/setup/menu/win32/menucleanup.exe"
  SetOutPath "$INSTDIR\commonfiles\globalsettings"
  File "${STAGE}/commonfiles/globalsettings/relinfo.xml"
  SetOutPath "$INSTDIR\RUVO\bin"
  File "${STAGE}/RUVO/bin/ruvo5.exe"
  File "${STAGE}/RUVO/bin/ruvo5parhosts.exe"
  SetOutPath "$INSTDIR\RUVO\icons"
  File "${STAGE}/RUVO/icons/ruvo_hi.ico"
  SetOutPath "$INSTDIR"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${REVISION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${REVISION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Velmora"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; Once every file is in place: menusetup reads relinfo.xml and runs the
  ; host-setup tool. It always exits with 0; a program that cannot be started
  ; sets the error flag.
  ClearErrors
  ExecWait '"$INSTDIR\${MENU_PROGRAMS}\menusetup.exe" "/log=${MENU_LOG}"'
  IfErrors 0 +2
    DetailPrint "menusetup.exe could not be started"
SectionEnd

Section "Uninstall"
  ; Before any file goes: menucleanup finds the shortcut's name in relinfo.xml.
  ; It runs elevated, as menusetup did, so that it works in the same
  ; (all-users) Programs folder.
  ExecWait '"$INSTDIR\${MENU_PROGRAMS}\menucleanup.exe" "/log=${MENU_LOG}"'

  Delete "$INSTDIR\${MENU_PROGRAMS}\menusetup.exe"
  Delete "$INSTDIR\${MENU_PROGRAMS}\menucleanup.exe"
  Delete "$INSTDIR\commonfiles\globalsettings\relinfo.xml"
  Delete "$INSTDIR\RUVO\bin\ruvo5.exe"
  Delete "$INSTDIR\RUVO\bin\ruvo5parhosts.exe"
  Delete "$INSTDIR\RUVO\icons\ruvo_hi.ico"
  Delete "$INSTDIR\uninstall.exe"

  ; Deepest first and never with /r: a folder that still holds something
  ; (a file of the user's, another product's) stays, with what is in it.
  RMDir "$INSTDIR\${MENU_PROGRAMS}"
  RMDir "$INSTDIR\commonfiles\setup\menu"
  RMDir "$INSTDIR\commonfiles\setup"
  RMDir "$INSTDIR\commonfiles\globalsettings"
  RMDir "$INSTDIR\commonfiles"
  RMDir "$INSTDIR\RUVO\bin"
  RMDir "$INSTDIR\RUVO\icons"
  RMDir "$INSTDIR\RUVO"
  RMDir "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

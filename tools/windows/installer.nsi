; The Windows setup: installs the portable zip's files for the current user
; only (no administrator rights), under %LOCALAPPDATA%\Programs\TTS_Tarnwick,
; with a Start menu entry, .vpm files opened on a double click, .rgn files
; offered under "Open with", and an entry in the installed apps list.
; makensis -DVERSION=0.49 -DVERSION4=0.49.0.0 -DFILES=files.nsh -DUNFILES=unfiles.nsh
;          -DICON=tts-tarnwick.ico -DOUTFILE=setup.exe installer.nsi
; FILES and UNFILES list the staged files (made by make-setup.sh), so that the
; uninstaller removes exactly what was installed and nothing the user put there.

; A 64-bit setup for a 64-bit program: 32-bit Windows refuses it at once.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!define PRODUCT "TTS_Tarnwick"
!define PUBLISHER "The TTS_Tarnwick developers"
!define PROGID "TTS_Tarnwick.Voice"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TTS_Tarnwick"
!define CLASSES "Software\Classes"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\TTS_Tarnwick"
; A second install goes where the first one went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\tts-tarnwick.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT}"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Tells Explorer that file types changed, so icons and double clicks follow at once.
!macro AssociationsChanged
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
!macroend

; A running program's files cannot be replaced or removed: going on would
; leave an install half old and half new (or half gone), and a save may be
; under way. So both wait for it to be closed, and a silent run stops with an
; error instead.
!macro WaitUntilClosed
  ${Do}
    StrCpy $1 ""
    ${ForEach} $2 0 1 + 1
      ${If} $2 == 0
        StrCpy $3 "$INSTDIR\tts-tarnwick.exe"
      ${Else}
        StrCpy $3 "$INSTDIR\tts-tarnwick-cli.exe"
      ${EndIf}
      ${If} ${FileExists} $3
        ClearErrors
        FileOpen $0 $3 a
        ${If} ${Errors}
          StrCpy $1 "running"
        ${Else}
          FileClose $0
        ${EndIf}
      ${EndIf}
    ${Next}
    ${If} $1 == ""
      ${Break}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is running from $INSTDIR. Close it (and let any save finish), then press Retry." /SD IDCANCEL IDRETRY +2
    Abort "${PRODUCT} is running: nothing was changed."
  ${Loop}
!macroend

Section "Install"
  SetShellVarContext current
  !insertmacro WaitUntilClosed
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\tts-tarnwick.exe" "" "$INSTDIR\tts-tarnwick.exe" 0

  WriteRegStr HKCU "${CLASSES}\${PROGID}" "" "TTS voice file"
  WriteRegStr HKCU "${CLASSES}\${PROGID}\DefaultIcon" "" "$INSTDIR\tts-tarnwick.exe,0"
  WriteRegStr HKCU "${CLASSES}\${PROGID}\shell\open\command" "" '"$INSTDIR\tts-tarnwick.exe" "%1"'
  ; .vpm is a voice: it opens here on a double click, unless another program
  ; already owns the type, in which case this one is offered beside it.
  ReadRegStr $0 HKCU "${CLASSES}\.vpm" ""
  ${If} $0 == ""
  ${OrIf} $0 == "${PROGID}"
    WriteRegStr HKCU "${CLASSES}\.vpm" "" "${PROGID}"
  ${EndIf}
  WriteRegStr HKCU "${CLASSES}\.vpm\OpenWithProgids" "${PROGID}" ""
  ; Other update files share .rgn: only "Open with", never the default.
  WriteRegStr HKCU "${CLASSES}\.rgn\OpenWithProgids" "${PROGID}" ""
  WriteRegStr HKCU "${CLASSES}\Applications\tts-tarnwick.exe" "FriendlyAppName" "${PRODUCT}"
  WriteRegStr HKCU "${CLASSES}\Applications\tts-tarnwick.exe\SupportedTypes" ".vpm" ""
  WriteRegStr HKCU "${CLASSES}\Applications\tts-tarnwick.exe\SupportedTypes" ".rgn" ""
  !insertmacro AssociationsChanged

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tts-tarnwick.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

; The journals under %LOCALAPPDATA%\TTS_Tarnwick stay: one may still be
; needed to put back a voice whose save was interrupted.
Section "Uninstall"
  SetShellVarContext current
  !insertmacro WaitUntilClosed
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"

  ReadRegStr $0 HKCU "${CLASSES}\.vpm" ""
  ${If} $0 == "${PROGID}"
    DeleteRegValue HKCU "${CLASSES}\.vpm" ""
  ${EndIf}
  DeleteRegValue HKCU "${CLASSES}\.vpm\OpenWithProgids" "${PROGID}"
  DeleteRegKey /ifempty HKCU "${CLASSES}\.vpm\OpenWithProgids"
  DeleteRegKey /ifempty HKCU "${CLASSES}\.vpm"
  DeleteRegValue HKCU "${CLASSES}\.rgn\OpenWithProgids" "${PROGID}"
  DeleteRegKey /ifempty HKCU "${CLASSES}\.rgn\OpenWithProgids"
  DeleteRegKey /ifempty HKCU "${CLASSES}\.rgn"
  DeleteRegKey HKCU "${CLASSES}\${PROGID}"
  DeleteRegKey HKCU "${CLASSES}\Applications\tts-tarnwick.exe"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  !insertmacro AssociationsChanged
SectionEnd

; Per-user installer of the scanning host.
;
; Installs Skanowanie.exe and pdfwriter.dll into one folder of the user's own
; (no administrator rights), writes the native-messaging host manifests for
; Chromium-based browsers and for Firefox beside them, registers the manifests
; for Chrome, Edge and Firefox under HKCU, and adds an uninstaller with an
; entry in the user's list of installed apps. "/S" installs and uninstalls
; silently; "/D=<folder>" (last on the command line) chooses the folder.
;
; Built by the project's build: makensis -DEXE=<exe> -DDLL=<dll>
;   -DOUTFILE=<setup.exe> -DVERSION=<a.b.c> -DICON=<ico> skanowanie.nsi

!ifndef EXE | DLL | OUTFILE | VERSION | ICON
  !error "EXE, DLL, OUTFILE, VERSION and ICON must be defined"
!endif

Unicode true
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include LogicLib.nsh

!define PRODUCT "Skanowanie"
!define HOST_NAME "pl.skanowanie.host"
!define HOST_DESCRIPTION "Skanowanie: scans documents to PDF for web pages"
!define CHROMIUM_ORIGIN "chrome-extension://dlalfaanhjcmepimhkpfccloopamahbp/"
!define FIREFOX_EXTENSION "skanowanie@skanowanie.local"
!define CHROMIUM_MANIFEST "${HOST_NAME}.chromium.json"
!define FIREFOX_MANIFEST "${HOST_NAME}.firefox.json"
!define UNINSTALLER "uninstall.exe"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define CHROME_HOSTS "Software\Google\Chrome\NativeMessagingHosts"
!define EDGE_HOSTS "Software\Microsoft\Edge\NativeMessagingHosts"
!define FIREFOX_HOSTS "Software\Mozilla\NativeMessagingHosts"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; A reinstall goes where the last one went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Writes a text to a file as UTF-8 without a byte-order mark (what the browsers
; read manifests as); NSIS's own FileWrite would use the ANSI code page.
; Push path, push text, call; sets the error flag when the file is not written.
Function WriteUtf8File
  Exch $1 ; text
  Exch
  Exch $0 ; path
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  ; Bytes needed, the terminating zero included.
  System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r1, i -1, p 0, i 0, p 0, p 0) i .r2'
  System::Alloc $2
  Pop $3
  System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r1, i -1, p r3, i r2, p 0, p 0) i .r2'
  IntOp $2 $2 - 1
  ClearErrors
  FileOpen $4 "$0" w
  ${If} ${Errors}
    DetailPrint "Cannot create $0"
  ${Else}
    System::Call 'kernel32::WriteFile(p r4, p r3, i r2, *i .r5, p 0) i .r6'
    FileClose $4
    ${If} $6 = 0
    ${OrIf} $5 <> $2
      DetailPrint "Cannot write $0"
      SetErrors
    ${EndIf}
  ${EndIf}
  System::Free $3
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd

; Replaces the top of the stack by its text as a JSON string body: "\" and
; '"' get a backslash in front. A Windows path holds no control characters,
; and other characters go into the UTF-8 file as they are.
Function JsonEscape
  Exch $0 ; input
  Push $1 ; output
  Push $2 ; one character
  Push $3 ; index
  StrCpy $1 ""
  StrCpy $3 0
  ${Do}
    StrCpy $2 $0 1 $3
    ${If} $2 == ""
      ${ExitDo}
    ${EndIf}
    ${If} $2 == "\"
    ${OrIf} $2 == '"'
      StrCpy $1 "$1\"
    ${EndIf}
    StrCpy $1 "$1$2"
    IntOp $3 $3 + 1
  ${Loop}
  StrCpy $0 $1
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

Section
  SetOutPath "$INSTDIR"
  File "/oname=Skanowanie.exe" "${EXE}"
  File "/oname=pdfwriter.dll" "${DLL}"

  ; The browsers start the host by the manifest's full path; both manifests
  ; name the same program and differ in the key that admits the extension.
  Push "$INSTDIR\Skanowanie.exe"
  Call JsonEscape
  Pop $0
  StrCpy $1 '{$\r$\n  "name": "${HOST_NAME}",$\r$\n  "description": "${HOST_DESCRIPTION}",$\r$\n  "path": "$0",$\r$\n  "type": "stdio",$\r$\n'
  ClearErrors
  Push "$INSTDIR\${CHROMIUM_MANIFEST}"
  Push '$1  "allowed_origins": ["${CHROMIUM_ORIGIN}"]$\r$\n}$\r$\n'
  Call WriteUtf8File
  Push "$INSTDIR\${FIREFOX_MANIFEST}"
  Push '$1  "allowed_extensions": ["${FIREFOX_EXTENSION}"]$\r$\n}$\r$\n'
  Call WriteUtf8File
  ${If} ${Errors}
    Abort "The browser manifests could not be written to $INSTDIR."
  ${EndIf}

  WriteRegStr HKCU "${CHROME_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${CHROMIUM_MANIFEST}"
  WriteRegStr HKCU "${EDGE_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${CHROMIUM_MANIFEST}"
  WriteRegStr HKCU "${FIREFOX_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${FIREFOX_MANIFEST}"

  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Skanowanie.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize 0 $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Deletes a key of HKCU only when it holds neither subkeys nor values (NSIS 3's
; /ifempty checks both), so that a parent key made by this installer goes and
; one that others use stays.
!macro DeleteEmptyKey KEY
  DeleteRegKey /ifempty HKCU "${KEY}"
!macroend

Section "Uninstall"
  DeleteRegKey HKCU "${CHROME_HOSTS}\${HOST_NAME}"
  !insertmacro DeleteEmptyKey "${CHROME_HOSTS}"
  !insertmacro DeleteEmptyKey "Software\Google\Chrome"
  !insertmacro DeleteEmptyKey "Software\Google"
  DeleteRegKey HKCU "${EDGE_HOSTS}\${HOST_NAME}"
  !insertmacro DeleteEmptyKey "${EDGE_HOSTS}"
  !insertmacro DeleteEmptyKey "Software\Microsoft\Edge"
  DeleteRegKey HKCU "${FIREFOX_HOSTS}\${HOST_NAME}"
  !insertmacro DeleteEmptyKey "${FIREFOX_HOSTS}"
  !insertmacro DeleteEmptyKey "Software\Mozilla"

  ; Only the files this installer put there; the folder goes when it is empty.
  Delete "$INSTDIR\Skanowanie.exe"
  Delete "$INSTDIR\pdfwriter.dll"
  Delete "$INSTDIR\${CHROMIUM_MANIFEST}"
  Delete "$INSTDIR\${FIREFOX_MANIFEST}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  ; The per-user programs folder may have been made for this installation.
  RMDir "$LOCALAPPDATA\Programs"

  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

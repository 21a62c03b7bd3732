; Per-user installer of the scanning host.
;
; Installs Skanowanie.exe, pdfwriter.dll and the OCR models (tessdata\) into one folder of the user's own
; (no administrator rights), writes the native-messaging host manifests for
; Chromium-based browsers and for Firefox beside them, registers the manifests
; for Chrome, Edge and Firefox under HKCU, and adds an uninstaller with an
; entry in the user's list of installed apps. "/S" installs and uninstalls
; silently; "/D=<folder>" (last on the command line) chooses the folder.
;
; Neither the installer nor the uninstaller reports success while a file it
; had to replace or remove is still there. A running host is closed only when
; the person at the desk agrees; a silent run leaves it alone and changes
; nothing. Exit codes (README.md): 0 done, 1 cancelled by the person,
; 2 NSIS's own failure, 3 the host is running, 4 a file could not be written
; or removed.
;
; Built by the project's build: makensis -DEXE=<exe> -DDLL=<dll>
;   -DOUTFILE=<setup.exe> -DVERSION=<a.b.c> -DICON=<ico>
;   -DCHROMIUM_ORIGINS=<JSON strings> -DFIREFOX_EXTENSIONS=<JSON strings>
;   [-DMODELS=<folder of pol.traineddata and eng.traineddata>] skanowanie.nsi

!ifndef EXE | DLL | OUTFILE | VERSION | ICON | CHROMIUM_ORIGINS | FIREFOX_EXTENSIONS
  !error "EXE, DLL, OUTFILE, VERSION, ICON, CHROMIUM_ORIGINS and FIREFOX_EXTENSIONS must be defined"
!endif
; The OCR models: Debian's, where its packages put them.
!ifndef MODELS
  !define MODELS "/usr/share/tesseract-ocr/5/tessdata"
!endif

Unicode true
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Skanowanie"
!define HOST_EXE "Skanowanie.exe"
!define HOST_WINDOW_CLASS "TSkanowanie"
!define HOST_NAME "pl.skanowanie.host"
!define HOST_DESCRIPTION "Skanowanie: scans documents to PDF for web pages"
!define CHROMIUM_MANIFEST "${HOST_NAME}.chromium.json"
!define FIREFOX_MANIFEST "${HOST_NAME}.firefox.json"
!define UNINSTALLER "uninstall.exe"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define CHROME_HOSTS "Software\Google\Chrome\NativeMessagingHosts"
!define EDGE_HOSTS "Software\Microsoft\Edge\NativeMessagingHosts"
!define FIREFOX_HOSTS "Software\Mozilla\NativeMessagingHosts"
; The topmost folder this installer created for the installation folder:
; removed, when empty, with the folders below it; "-" when the installation
; folder was there before. Installations made before it was kept have none.
!define CREATED_VALUE "CreatedFolder"

!define EXIT_CANCELLED 1
!define EXIT_HOST_RUNNING 3
!define EXIT_FILES 4

; How long a closed host gets to end, in steps of 250 ms.
!define CLOSE_WAIT_STEPS 60

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

; This program's own path in the form NormalisePath gives.
Var Self

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Functions that both the installer and the uninstaller use; NSIS wants the
; uninstaller's copies named with "un.".
!macro SharedFunctions UN WHO

; Writes a text to an open file handle as UTF-8 without a byte-order mark.
; Push handle, push text, call; sets the error flag when not all is written.
Function ${UN}WriteUtf8
  Exch $1 ; text
  Exch
  Exch $0 ; handle
  Push $2
  Push $3
  Push $4
  Push $5
  ; Bytes needed, the terminating zero included.
  System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r1, i -1, p 0, i 0, p 0, p 0) i .r2'
  System::Alloc $2
  Pop $3
  System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r1, i -1, p r3, i r2, p 0, p 0) i .r2'
  IntOp $2 $2 - 1
  System::Call 'kernel32::WriteFile(p r0, p r3, i r2, *i .r4, p 0) i .r5'
  ${If} $5 = 0
  ${OrIf} $4 <> $2
    SetErrors
  ${EndIf}
  System::Free $3
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd

; Replaces the path on top of the stack by its full form without a trailing
; backslash and, when it exists, with its long names, so that two spellings
; of one folder compare equal (NSIS compares strings without regard to case).
Function ${UN}NormalisePath
  Exch $0
  Push $1
  System::Call 'kernel32::GetFullPathNameW(w r0, i ${NSIS_MAX_STRLEN}, w .r1, p 0) i .s'
  Exch $2
  ${If} $2 > 0
    StrCpy $0 $1
  ${EndIf}
  System::Call 'kernel32::GetLongPathNameW(w r0, w .r1, i ${NSIS_MAX_STRLEN}) i .r2'
  ${If} $2 > 0
    StrCpy $0 $1
  ${EndIf}
  Pop $2
  ${Do}
    StrCpy $1 $0 1 -1
    ${If} $1 != "\"
    ${OrIf} $0 == "\"
      ${ExitDo}
    ${EndIf}
    StrLen $1 $0
    ${If} $1 = 3 ; "C:\"
      ${ExitDo}
    ${EndIf}
    StrCpy $0 $0 -1
  ${Loop}
  Pop $1
  Exch $0
FunctionEnd

; Pushes 1 when the process with the id on top of the stack runs the host
; from the folder below it, else 0. Push folder, push process id, call, pop.
Function ${UN}IsHostProcess
  Exch $1 ; process id
  Exch
  Exch $0 ; folder
  Push $2
  Push $3
  Push $4
  StrCpy $4 0
  ; PROCESS_QUERY_LIMITED_INFORMATION
  System::Call 'kernel32::OpenProcess(i 0x1000, i 0, i r1) p .r2'
  ${If} $2 P<> 0
    StrCpy $3 ${NSIS_MAX_STRLEN}
    System::Call 'kernel32::QueryFullProcessImageNameW(p r2, i 0, w .r1, *i r3) i .r3'
    System::Call 'kernel32::CloseHandle(p r2)'
    ${If} $3 <> 0
    ${AndIf} $1 == "$0\${HOST_EXE}"
      StrCpy $4 1
    ${EndIf}
  ${EndIf}
  StrCpy $0 $4
  Pop $4
  Pop $3
  Pop $2
  Exch $0
  Exch
  Pop $1
FunctionEnd

; Replaces the folder on top of the stack by the number of running processes
; of the host from that folder.
Function ${UN}CountHosts
  Exch $0 ; folder, then the count
  Push $1 ; snapshot
  Push $2 ; PROCESSENTRY32W
  Push $3 ; count
  Push $4
  Push $5
  StrCpy $3 0
  ; TH32CS_SNAPPROCESS
  System::Call 'kernel32::CreateToolhelp32Snapshot(i 2, i 0) p .r1'
  ${If} $1 P<> -1
    System::Alloc 556
    Pop $2
    System::Call '*$2(i 556)'
    System::Call 'kernel32::Process32FirstW(p r1, p r2) i .r4'
    ${DoWhile} $4 <> 0
      System::Call '*$2(i, i, i .r4, p, i, i, i, i, i, &w260 .r5)'
      ${If} $5 == "${HOST_EXE}"
        Push $0
        Push $4
        Call ${UN}IsHostProcess
        Pop $5
        IntOp $3 $3 + $5
      ${EndIf}
      System::Call 'kernel32::Process32NextW(p r1, p r2) i .r4'
    ${Loop}
    System::Free $2
    System::Call 'kernel32::CloseHandle(p r1)'
  ${EndIf}
  StrCpy $0 $3
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Asks each window of the host from the folder on top of the stack to close,
; as the system does when the person closes it. A window that is disabled is
; showing a dialog (choosing a scanner, a message): it is left alone, since
; closing it under the dialog would break off what the dialog is doing.
Function ${UN}CloseHosts
  Exch $0 ; folder
  Push $1 ; window
  Push $2
  StrCpy $1 0
  ${Do}
    System::Call 'user32::FindWindowExW(p 0, p r1, w "${HOST_WINDOW_CLASS}", p 0) p .r1'
    ${If} $1 P= 0
      ${ExitDo}
    ${EndIf}
    System::Call 'user32::GetWindowThreadProcessId(p r1, *i .r2)'
    Push $0
    Push $2
    Call ${UN}IsHostProcess
    Pop $2
    ${If} $2 = 1
      System::Call 'user32::IsWindowEnabled(p r1) i .r2'
      ${If} $2 <> 0
        DetailPrint "Closing ${PRODUCT}"
        ; WM_CLOSE
        System::Call 'user32::PostMessageW(p r1, i 0x10, p 0, p 0)'
      ${EndIf}
    ${EndIf}
  ${Loop}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Ends the run with an exit code and a message: in a message box, or, when
; silent, on the standard error stream (the caller's console when there is
; no stream). Push text, push exit code, call; does not return.
Function ${UN}Stop
  Pop $1 ; exit code
  Pop $0 ; text
  DetailPrint "$0"
  ${If} ${Silent}
    ; STD_ERROR_HANDLE
    System::Call 'kernel32::GetStdHandle(i -12) p .r2'
    ${If} $2 P= 0
    ${OrIf} $2 P= -1
      ; ATTACH_PARENT_PROCESS, then the console's screen buffer.
      System::Call 'kernel32::AttachConsole(i -1) i .r3'
      ${If} $3 <> 0
        System::Call 'kernel32::CreateFileW(w "CONOUT$$", i 0x40000000, i 2, p 0, i 3, i 0, p 0) p .r2'
      ${EndIf}
    ${EndIf}
    ${If} $2 P<> 0
    ${AndIf} $2 P<> -1
      Push $2
      Push "${PRODUCT} ${WHO}: $0$\r$\n"
      Call ${UN}WriteUtf8
    ${EndIf}
  ${Else}
    MessageBox MB_OK|MB_ICONSTOP "$0"
  ${EndIf}
  SetErrorLevel $1
  Quit
FunctionEnd

; Returns only when no host runs from the folder on top of the stack. One
; that runs is serving a web page and may hold the person's scan: a silent
; run stops (exit code 3); otherwise the person is asked, and the host is
; closed the way the person would close it, never killed.
Function ${UN}EnsureHostsClosed
  Exch $0 ; folder
  Push $1
  Push $2
  Push $0
  Call ${UN}CountHosts
  Pop $1
  ${If} $1 > 0
    ${If} ${Silent}
      Push "${PRODUCT} is running from $0 (a web page is using it). Nothing was changed; run this again when it has ended."
      Push ${EXIT_HOST_RUNNING}
      Call ${UN}Stop
    ${EndIf}
    MessageBox MB_OKCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is open: a web page is using it to scan.$\r$\n$\r$\nOK closes it now; a scanned document that has not been sent yet is lost.$\r$\nCancel stops here and changes nothing." /SD IDCANCEL IDOK close
    SetErrorLevel ${EXIT_CANCELLED}
    Quit
    close:
    Push $0
    Call ${UN}CloseHosts
    StrCpy $2 0
    ${Do}
      Push $0
      Call ${UN}CountHosts
      Pop $1
      ${If} $1 = 0
        ${ExitDo}
      ${EndIf}
      IntOp $2 $2 + 1
      ${If} $2 > ${CLOSE_WAIT_STEPS}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} has not closed (it may be scanning or showing a dialog).$\r$\n$\r$\nFinish in ${PRODUCT} and close it, then choose Retry. Cancel stops here and changes nothing." /SD IDCANCEL IDRETRY retry
        SetErrorLevel ${EXIT_CANCELLED}
        Quit
        retry:
        Push $0
        Call ${UN}CloseHosts
        StrCpy $2 0
      ${EndIf}
      Sleep 250
    ${Loop}
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Stops (exit code 4) when a file of this installation in the folder on top
; of the stack exists and cannot be changed: in use by another program, or
; not writable. Checked before anything is changed, so that a run that
; cannot finish leaves the installation as it was. The running uninstaller
; itself is left out.
Function ${UN}EnsureFilesFree
  Exch $0 ; folder
  Push $1
  Push $2
  Push $3
  ${ForEach} $1 1 5 + 1
    ${Select} $1
      ${Case} 1
        StrCpy $2 "$0\${HOST_EXE}"
      ${Case} 2
        StrCpy $2 "$0\pdfwriter.dll"
      ${Case} 3
        StrCpy $2 "$0\${CHROMIUM_MANIFEST}"
      ${Case} 4
        StrCpy $2 "$0\${FIREFOX_MANIFEST}"
      ${Case} 5
        StrCpy $2 "$0\${UNINSTALLER}"
    ${EndSelect}
    ${If} ${FileExists} $2
    ${AndIf} $2 != $Self
      ; GENERIC_WRITE | DELETE, no sharing, OPEN_EXISTING
      System::Call 'kernel32::CreateFileW(w r2, i 0x40010000, i 0, p 0, i 3, i 0, p 0) p .r3'
      ${If} $3 P= -1
        Push "$2 is in use by another program or cannot be changed. Nothing was changed; close that program and run this again."
        Push ${EXIT_FILES}
        Call ${UN}Stop
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r3)'
    ${EndIf}
  ${Next}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Removes the folder below the top of the stack and, up to the folder on top
; (what the apps entry's CreatedFolder recorded), its parents, each only when
; empty. "-" removes none: the folder was not made by this installer. An
; empty top (an installation that kept no record) removes the folder alone.
Function ${UN}RemoveFolders
  Exch $1 ; top
  Exch
  Exch $0 ; folder
  Push $2
  Push $3
  ${If} $1 == ""
    RMDir $0
  ${ElseIf} $1 != "-"
    StrLen $2 $1
    ${Do}
      ; Never above the recorded folder, nor outside it.
      StrCpy $3 $0 $2
      ${If} $3 != $1
        ${ExitDo}
      ${EndIf}
      ClearErrors
      RMDir $0
      ${If} ${Errors}
      ${OrIf} $0 == $1
        ${ExitDo}
      ${EndIf}
      ${GetParent} $0 $0
    ${Loop}
  ${EndIf}
  ClearErrors
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd

; Deletes this installation's files from the folder on top of the stack,
; except the running uninstaller; sets the error flag when one stays.
Function ${UN}DeleteFiles
  Exch $0
  Push $1 ; 1 when a file stays
  Push $2
  StrCpy $1 0
  ClearErrors
  Delete "$0\${HOST_EXE}"
  Delete "$0\pdfwriter.dll"
  Delete "$0\tessdata\pol.traineddata"
  Delete "$0\tessdata\eng.traineddata"
  RMDir "$0\tessdata"
  Delete "$0\${CHROMIUM_MANIFEST}"
  Delete "$0\${FIREFOX_MANIFEST}"
  ${If} ${Errors}
    StrCpy $1 1
  ${EndIf}
  ${If} "$0\${UNINSTALLER}" != $Self
    ; An uninstaller that handed over to its copy in TEMP ends a moment
    ; after starting it.
    ${ForEach} $2 1 40 + 1
      ClearErrors
      Delete "$0\${UNINSTALLER}"
      ${IfNot} ${Errors}
        ${ExitFor}
      ${EndIf}
      Sleep 250
    ${Next}
    ${If} ${Errors}
      StrCpy $1 1
    ${EndIf}
  ${EndIf}
  ClearErrors
  ${If} $1 = 1
    SetErrors
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

!macroend
!insertmacro SharedFunctions "" "setup"
!insertmacro SharedFunctions "un." "uninstaller"

; Writes a text to a file as UTF-8 without a byte-order mark (what the browsers
; read manifests as); NSIS's own FileWrite would use the ANSI code page.
; Push path, push text, call; sets the error flag when the file is not written.
Function WriteUtf8File
  Exch $1 ; text
  Exch
  Exch $0 ; path
  Push $2
  ClearErrors
  FileOpen $2 "$0" w
  ${If} ${Errors}
    DetailPrint "Cannot create $0"
  ${Else}
    Push $2
    Push $1
    Call WriteUtf8
    FileClose $2
    ${If} ${Errors}
      DetailPrint "Cannot write $0"
    ${EndIf}
  ${EndIf}
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

; Replaces the folder on top of the stack by the topmost of it and its
; parents that does not exist yet (what installing into it creates), or by
; "-" when it exists.
Function TopMissingFolder
  Exch $0
  Push $1
  StrCpy $1 "-"
  ${DoUntil} ${FileExists} "$0\*.*"
    StrCpy $1 $0
    ${GetParent} $0 $0
  ${LoopUntil} $0 == ""
  StrCpy $0 $1
  Pop $1
  Exch $0
FunctionEnd

!macro ExtractOrStop NAME SOURCE
  ClearErrors
  File "/oname=${NAME}" "${SOURCE}"
  ${If} ${Errors}
    Push "$INSTDIR\${NAME} could not be written. The installation is incomplete; run this again."
    Push ${EXIT_FILES}
    Call Stop
  ${EndIf}
!macroend

Section
  Push $EXEPATH
  Call NormalisePath
  Pop $Self
  Push $INSTDIR
  Call NormalisePath
  Pop $INSTDIR

  ; An earlier installation elsewhere is moved: its files go once the new
  ; ones are in place.
  ClearErrors
  ReadRegStr $R8 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $R7 HKCU "${UNINSTALL_KEY}" "${CREATED_VALUE}"
  ${If} $R8 != ""
    Push $R8
    Call NormalisePath
    Pop $R8
  ${EndIf}
  ${If} $R8 == $INSTDIR
    StrCpy $R8 ""
    ${If} $R7 == ""
      StrCpy $R6 ""
    ${Else}
      StrCpy $R6 $R7
    ${EndIf}
  ${Else}
    Push $INSTDIR
    Call TopMissingFolder
    Pop $R6
  ${EndIf}

  Push $INSTDIR
  Call EnsureHostsClosed
  ${If} $R8 != ""
    Push $R8
    Call EnsureHostsClosed
  ${EndIf}
  Push $INSTDIR
  Call EnsureFilesFree
  ${If} $R8 != ""
    Push $R8
    Call EnsureFilesFree
  ${EndIf}

  SetOutPath "$INSTDIR"
  ; A file that cannot be replaced is reported, never skipped in silence.
  SetOverwrite try
  !insertmacro ExtractOrStop "${HOST_EXE}" "${EXE}"
  !insertmacro ExtractOrStop "pdfwriter.dll" "${DLL}"
  ; The OCR models, where the host looks for them.
  CreateDirectory "$INSTDIR\tessdata"
  !insertmacro ExtractOrStop "tessdata\pol.traineddata" "${MODELS}/pol.traineddata"
  !insertmacro ExtractOrStop "tessdata\eng.traineddata" "${MODELS}/eng.traineddata"

  ; The browsers start the host by the manifest's full path; both manifests
  ; name the same program and differ in the key that admits the extension.
  Push "$INSTDIR\${HOST_EXE}"
  Call JsonEscape
  Pop $0
  StrCpy $1 '{$\r$\n  "name": "${HOST_NAME}",$\r$\n  "description": "${HOST_DESCRIPTION}",$\r$\n  "path": "$0",$\r$\n  "type": "stdio",$\r$\n'
  ClearErrors
  Push "$INSTDIR\${CHROMIUM_MANIFEST}"
  Push '$1  "allowed_origins": [${CHROMIUM_ORIGINS}]$\r$\n}$\r$\n'
  Call WriteUtf8File
  Push "$INSTDIR\${FIREFOX_MANIFEST}"
  Push '$1  "allowed_extensions": [${FIREFOX_EXTENSIONS}]$\r$\n}$\r$\n'
  Call WriteUtf8File
  ${If} ${Errors}
    Push "The browser manifests could not be written to $INSTDIR. The installation is incomplete; run this again."
    Push ${EXIT_FILES}
    Call Stop
  ${EndIf}

  WriteRegStr HKCU "${CHROME_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${CHROMIUM_MANIFEST}"
  WriteRegStr HKCU "${EDGE_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${CHROMIUM_MANIFEST}"
  WriteRegStr HKCU "${FIREFOX_HOSTS}\${HOST_NAME}" "" "$INSTDIR\${FIREFOX_MANIFEST}"

  ClearErrors
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  ${If} ${Errors}
    Push "$INSTDIR\${UNINSTALLER} could not be written. The installation is incomplete; run this again."
    Push ${EXIT_FILES}
    Call Stop
  ${EndIf}
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${HOST_EXE}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  ; "_?=" runs the uninstaller where it is and makes the caller wait for its
  ; exit code; without it the uninstaller hands over to a copy of itself and
  ; returns 0 at once.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}" _?=$INSTDIR'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S _?=$INSTDIR'
  ${If} $R6 == ""
    ; An earlier installation in this folder that kept no record.
    DeleteRegValue HKCU "${UNINSTALL_KEY}" "${CREATED_VALUE}"
  ${Else}
    WriteRegStr HKCU "${UNINSTALL_KEY}" "${CREATED_VALUE}" $R6
  ${EndIf}
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize 0 $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

  ${If} $R8 != ""
    DetailPrint "Removing the earlier installation in $R8"
    Push $R8
    Call DeleteFiles
    ${If} ${Errors}
      Push "${PRODUCT} is installed in $INSTDIR, but files of the earlier installation in $R8 could not be removed."
      Push ${EXIT_FILES}
      Call Stop
    ${EndIf}
    Push $R8
    Push $R7
    Call RemoveFolders
  ${EndIf}
SectionEnd

; Deletes a key of HKCU only when it holds neither subkeys nor values (NSIS 3's
; /ifempty checks both), so that a parent key made by this installer goes and
; one that others use stays.
!macro DeleteEmptyKey KEY
  DeleteRegKey /ifempty HKCU "${KEY}"
!macroend

; An uninstaller's own program file cannot be deleted while it runs. This
; starts a copy of the uninstaller (a file in TEMP that the system deletes
; when the copy ends) that waits for this process to end, then deletes the
; file below the top of the stack and the folders from the file's folder up
; to the folder on top (as RemoveFolders does).
Function un.DeleteAfterExit
  Exch $1 ; top folder
  Exch
  Exch $0 ; file
  Push $2 ; the copy
  Push $3
  Push $4 ; its delete-on-close handle
  Push $5 ; this process, inheritable
  Push $6 ; STARTUPINFOW
  Push $7 ; PROCESS_INFORMATION
  Push $8
  ${ForEach} $3 1 20 + 1
    System::Call 'kernel32::GetTickCount() i .r2'
    StrCpy $2 "$TEMP\${PRODUCT}-cleanup-$2.exe"
    ; Fails when the name is taken.
    System::Call 'kernel32::CopyFileW(w "$EXEPATH", w r2, i 1) i .r4'
    ${If} $4 <> 0
      ${ExitFor}
    ${EndIf}
    Sleep 20
  ${Next}
  ${If} $4 = 0
    DetailPrint "Cannot copy the uninstaller to $TEMP to remove $0"
  ${Else}
    ; DELETE, every sharing, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE
    System::Call 'kernel32::CreateFileW(w r2, i 0x10000, i 7, p 0, i 3, i 0x04000000, p 0) p .r4'
    ; SYNCHRONIZE, inheritable
    System::Call 'kernel32::GetCurrentProcess() p .r5'
    System::Call 'kernel32::DuplicateHandle(p r5, p r5, p r5, *p .r5, i 0x100000, i 1, i 0)'
    System::Call '*(i 68, i 0, i 0, i 0, i 0, i 0, i 0, i 0, i 0, i 0, i 0, i 0, i 0, p 0, p 0, p 0, p 0) p .r6'
    System::Call '*(p 0, p 0, i 0, i 0) p .r7'
    StrCpy $3 '"$2" /CLEANUP=$5 /FILE="$0" /TOP="$1" _?=$TEMP'
    System::Call 'kernel32::CreateProcessW(w r2, w r3, p 0, p 0, i 1, i 0, p 0, w "$TEMP", p r6, p r7) i .r8'
    ${If} $8 <> 0
      System::Call '*$7(p .r3, p .r8)'
      System::Call 'kernel32::CloseHandle(p r3)'
      System::Call 'kernel32::CloseHandle(p r8)'
    ${Else}
      DetailPrint "Cannot start the removal of $0"
    ${EndIf}
    System::Free $6
    System::Free $7
    System::Call 'kernel32::CloseHandle(p r5)'
    ; The copy goes when it ends (or now, when it did not start).
    System::Call 'kernel32::CloseHandle(p r4)'
  ${EndIf}
  Pop $8
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd

Function un.onInit
  ; The clean-up copy started by un.DeleteAfterExit.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/CLEANUP=" $R1
  ${IfNot} ${Errors}
    ${GetOptions} $R0 "/FILE=" $R2
    ${GetOptions} $R0 "/TOP=" $R3
    System::Call 'kernel32::WaitForSingleObject(p R1, i 120000)'
    System::Call 'kernel32::CloseHandle(p R1)'
    ; The file may stay locked for a moment after its process has ended.
    ${ForEach} $R4 1 40 + 1
      ClearErrors
      Delete $R2
      ${IfNot} ${Errors}
        ${ExitFor}
      ${EndIf}
      Sleep 250
    ${Next}
    ${GetParent} $R2 $R4
    Push $R4
    Push $R3
    Call un.RemoveFolders
    SetErrorLevel 0
    Quit
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Push $EXEPATH
  Call un.NormalisePath
  Pop $Self
  Push $INSTDIR
  Call un.NormalisePath
  Pop $INSTDIR
  ClearErrors
  ReadRegStr $R7 HKCU "${UNINSTALL_KEY}" "${CREATED_VALUE}"

  Push $INSTDIR
  Call un.EnsureHostsClosed
  Push $INSTDIR
  Call un.EnsureFilesFree

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

  ; Only the files this installer put there; the folders it made go when empty.
  Push $INSTDIR
  Call un.DeleteFiles
  ${If} ${Errors}
    Push "Files of ${PRODUCT} in $INSTDIR could not be removed; run the uninstaller again."
    Push ${EXIT_FILES}
    Call un.Stop
  ${EndIf}
  ${If} "$INSTDIR\${UNINSTALLER}" == $Self
    ; Run in place ("_?="): this file and the folders go after the exit.
    Push $EXEPATH
    Push $R7
    Call un.DeleteAfterExit
  ${Else}
    Push $INSTDIR
    Push $R7
    Call un.RemoveFolders
    ; Handed over to a copy of itself in a folder "~nsu<N>.tmp" of TEMP:
    ; that copy and its folder go after the exit.
    ${GetFileName} $EXEDIR $0
    StrCpy $0 $0 4
    ${If} $0 == "~nsu"
      Push $EXEPATH
      Push $EXEDIR
      Call un.DeleteAfterExit
    ${EndIf}
  ${EndIf}

  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

; The setup program of the KVX HBA tools: installs, upgrades and removes the
; suite, registering and removing the service hbalogd through the installed
; KVXService.dll as its caller is meant to.
;
; Built by the `installer` target of the Windows build:
;   makensis -DVERSION=1.0.0 -DSTAGE=<release tree> -DOUTFILE=<setup.exe> kvx-hba-tools.nsi
; STAGE is the release component installed as the zip lays it out.
;
; Exit codes of setup and of the uninstaller:
;   0 done
;   1 cancelled by the user
;   2 the folder cannot be made or written, or a file could not be written
;     (setup); a file could not be removed (uninstaller)
;   3 KVXService failed: KvxRegistry (setup), UninstInitialize (uninstaller)
;   4 hbalogd did not stop: its program is still in use
;   5 the suite is installed in another folder
;   6 the suite is not installed (uninstaller)
;   7 setup refuses the folder: longer than hbalogd's paths allow,
;     characters outside the ANSI code page, an environment variable, not a
;     full path on a drive letter, a drive's root
;   8 hbalogd is registered and started but does not run

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ManifestDPIAware true

!ifndef VERSION | STAGE | OUTFILE
  !error "define VERSION, STAGE and OUTFILE"
!endif

!define PRODUCT "KVX HBA tools"
!define UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\KVXTools"
!define CONFIG_KEY "SOFTWARE\Velmora\kvxwdd\hbalogd"
!define SERVICE hbalogd
; How long a stopping service may take before setup gives up, in quarter seconds.
!define STOP_POLLS 240
; How long setup waits, in quarter seconds, for a service it has started to
; be ready (RUNNING, its capture waiting for the driver's records); one still
; RUNNING then counts as started.
!define START_POLLS 120
; The event that hbalogd's capture makes once it is ready. A service makes
; its unprefixed names in the global namespace; setup may run in another
; session.
!define NOTIFY_EVENT velmora_kvxwdd_hbalogd_notify_event
; The longest folder hbalogd can serve: its longest path,
; <folder>\hbalogd\errorlevel_list.txt, must fit its 256-character buffers
; with the terminating NUL.
!define FOLDER_MAX 227
; Bytes for the folder as ANSI text: two a character in a double-byte code page.
!define ANSI_BUFFER 1024

!define EXIT_FILES 2
!define EXIT_HOOK 3
!define EXIT_IN_USE 4
!define EXIT_OTHER_FOLDER 5
!define EXIT_NOT_INSTALLED 6
!define EXIT_REFUSED 7
!define EXIT_NOT_RUNNING 8

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\velmora\drivers\hba"
; The folder is chosen in .onInit (/D=, else the installed suite's, else this
; one), not by InstallDirRegKey: NSIS silently replaces a /D= folder it finds
; invalid by the registry's or the default one.
; A file that cannot be written stops setup (exit code 2) instead of being
; skipped in silence.
AllowSkipFiles off
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey CompanyName Velmora
VIAddVersionKey FileDescription "${PRODUCT} setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey LegalCopyright "Velmora"

!include MUI2.nsh
!include LogicLib.nsh

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_NOAUTOCLOSE
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup installs ${PRODUCT} ${VERSION} into the folder below and registers and starts the service ${SERVICE}.$\r$\n$\r$\nThe service's default configuration expects C:\Program Files\velmora\drivers\hba. In another folder, setup writes the folder into hbalogd's configuration when it has none yet."
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE directory_page_leave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!define MUI_UNCONFIRMPAGE_TEXT_TOP "Setup stops and unregisters the service ${SERVICE} and removes ${PRODUCT} from the folder below.$\r$\n$\r$\nKept: the log folder hbalogd\log with its log files, list files you have changed, and hbalogd's configuration under HKEY_LOCAL_MACHINE\${CONFIG_KEY}."
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE English

; Shows TEXT (or only logs it in silent mode), sets the exit code and stops.
!macro FAIL CODE TEXT
  DetailPrint "${TEXT}"
  MessageBox MB_OK|MB_ICONSTOP "${TEXT}" /SD IDOK
  SetErrorLevel ${CODE}
  Abort "${TEXT}"
!macroend

; The service's Win32 exit code as service_state last read it ("" when it
; could not be read).
Var service_exit_code

; Functions shared by setup and the uninstaller (NSIS needs the "un." copy).
!macro SHARED_FUNCTIONS un
  ; $R2: the state of the service as the service manager reports it (1 stopped,
  ; 4 running, ...), or 0 when there is no such service.
  Function ${un}service_state
    Push $1
    Push $2
    Push $3
    Push $4
    StrCpy $R2 0
    StrCpy $service_exit_code ""
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1' ; SC_MANAGER_CONNECT
    ${If} $1 P<> 0
      System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE}", i 4) p .r2' ; SERVICE_QUERY_STATUS
      ${If} $2 P<> 0
        System::Call '*(i, i, i, i, i, i, i) p .r3' ; SERVICE_STATUS
        System::Call 'advapi32::QueryServiceStatus(p r2, p r3) i .r4'
        ${If} $4 <> 0
          System::Call '*$3(i, i .R2, i, i .r4)'
          StrCpy $service_exit_code $4
        ${Else}
          StrCpy $R2 4 ; unknown: taken as running, so that setup waits
        ${EndIf}
        System::Free $3
        System::Call 'advapi32::CloseServiceHandle(p r2)'
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    Pop $4
    Pop $3
    Pop $2
    Pop $1
  FunctionEnd

  ; Drops the backslashes that end $INSTDIR ("C:\Tools\KVX\" is C:\Tools\KVX):
  ; the folder is compared with the one recorded, and paths are made from it.
  Function ${un}trim_folder
    Push $0
    ${Do}
      StrCpy $0 $INSTDIR 1 -1
      ${IfThen} $0 != "\" ${|} ${Break} ${|}
      StrCpy $INSTDIR $INSTDIR -1
    ${Loop}
    Pop $0
  FunctionEnd

  ; Calls the export of $INSTDIR\KVXService.dll named on the stack, with the
  ; pointer in $R4 as its third argument (KvxRegistry) or with none. The folder
  ; is never part of the System plug-in's call text, where "(" and other
  ; characters of a folder's name would be parsed: the library is loaded by
  ; its path as a parameter and the export called through its address. The
  ; library is unloaded after the call, so that nothing of the folder stays in
  ; use. $R0: the export's result, or "" when it could not be called, with
  ; the reason in $R1.
  Function ${un}call_hook
    Exch $R5
    Push $R6
    Push $R7
    StrCpy $R0 ""
    StrCpy $R6 "$INSTDIR\KVXService.dll"
    ; LOAD_WITH_ALTERED_SEARCH_PATH: what the library imports is looked for
    ; beside it first.
    System::Call 'kernel32::LoadLibraryExW(w R6, p 0, i 8) p .R6 ? e'
    Pop $R7
    ${If} $R6 P= 0
      StrCpy $R1 "$INSTDIR\KVXService.dll could not be loaded (system error $R7)"
    ${Else}
      System::Call 'kernel32::GetProcAddress(p R6, m R5) p .R7'
      ${If} $R7 P= 0
        StrCpy $R1 "$INSTDIR\KVXService.dll has no export $R5"
      ${ElseIf} $R5 == KvxRegistry
        System::Call '::$R7(p 0, p 0, p R4) i .R0'
      ${Else}
        System::Call '::$R7() i .R0'
      ${EndIf}
      System::Call 'kernel32::FreeLibrary(p R6)'
    ${EndIf}
    Pop $R7
    Pop $R6
    Pop $R5
  FunctionEnd

  ; Waits until the service is stopped or gone and then until its program in
  ; $INSTDIR can be written (the process has ended). $R0: 1 when it came
  ; before the deadline, 0 when not.
  Function ${un}wait_for_service_stop
    Push $R1
    Push $R2
    Push $R3
    StrCpy $R0 0
    StrCpy $R1 0
    ${Do}
      Call ${un}service_state
      ${IfThen} $R2 <= 1 ${|} ${Break} ${|}
      IntOp $R1 $R1 + 1
      ${IfThen} $R1 >= ${STOP_POLLS} ${|} ${Break} ${|}
      Sleep 250
    ${Loop}
    ${Do}
      ${IfNot} ${FileExists} "$INSTDIR\hbalogd\hbalogd.exe"
        StrCpy $R0 1
        ${Break}
      ${EndIf}
      ClearErrors
      FileOpen $R3 "$INSTDIR\hbalogd\hbalogd.exe" a
      ${IfNot} ${Errors}
        FileClose $R3
        StrCpy $R0 1
        ${Break}
      ${EndIf}
      IntOp $R1 $R1 + 1
      ${IfThen} $R1 >= ${STOP_POLLS} ${|} ${Break} ${|}
      Sleep 250
    ${Loop}
    Pop $R3
    Pop $R2
    Pop $R1
  FunctionEnd

  ; $R0: "<last write time> <size>" of the file named on the stack, or "" when
  ; it does not exist. Setup records it for each list it places, so that a list
  ; the administrator has changed since is recognised.
  Function ${un}file_stamp
    Exch $R4
    Push $R5
    Push $R6
    Push $R7
    StrCpy $R0 ""
    ClearErrors
    GetFileTime $R4 $R5 $R6
    ${IfNot} ${Errors}
      FileOpen $R7 $R4 r
      ${IfNot} ${Errors}
        FileSeek $R7 0 END $R4
        FileClose $R7
        StrCpy $R0 "$R5.$R6 $R4"
      ${EndIf}
    ${EndIf}
    Pop $R7
    Pop $R6
    Pop $R5
    Pop $R4
  FunctionEnd

  ; $R0: 1 when the list named on the stack (a file of hbalogd\) is as setup
  ; left it, 0 when the administrator has changed it or setup never placed it.
  Function ${un}list_as_placed
    Exch $R8
    Push $R9
    Push "$INSTDIR\hbalogd\$R8"
    Call ${un}file_stamp
    ReadRegStr $R9 HKLM "${UNINSTALL_KEY}" "Stamp $R8"
    ${If} $R0 != ""
    ${AndIf} $R0 == $R9
      StrCpy $R0 1
    ${Else}
      StrCpy $R0 0
    ${EndIf}
    Pop $R9
    Pop $R8
  FunctionEnd
!macroend
!insertmacro SHARED_FUNCTIONS ""
!insertmacro SHARED_FUNCTIONS "un."

; Places one error list. A list the administrator has changed stays; this
; version's list goes beside it as <name>.new for them to merge.
!macro PLACE_LIST NAME
  ${If} ${FileExists} "$INSTDIR\hbalogd\${NAME}"
    Push "${NAME}"
    Call list_as_placed
  ${Else}
    StrCpy $R0 1
  ${EndIf}
  ${If} $R0 == 1
    File "/oname=$INSTDIR\hbalogd\${NAME}" "${STAGE}/hbalogd/${NAME}"
    Delete "$INSTDIR\hbalogd\${NAME}.new"
    Push "$INSTDIR\hbalogd\${NAME}"
    Call file_stamp
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Stamp ${NAME}" $R0
  ${Else}
    File "/oname=$INSTDIR\hbalogd\${NAME}.new" "${STAGE}/hbalogd/${NAME}"
    DetailPrint "Kept your changed hbalogd\${NAME}; this version's list is hbalogd\${NAME}.new"
  ${EndIf}
!macroend

; 1 once setup has stopped a running service and until KvxRegistry has
; started it again.
Var stopped_service
; 1 when the folder came from /D=, which is then in given_folder as written.
Var folder_given
Var given_folder
; 1 when NSIS had to drop characters of the /D= folder from $INSTDIR.
Var folder_unusable
; The first folder on the way to $INSTDIR that does not exist yet ("" when
; $INSTDIR exists): what setup removes again when it cannot write there.
Var first_missing

; Takes the /D= folder as the process's command line has it. NSIS ends
; $CMDLINE where " /D=" begins and takes the rest as the folder, but replaces
; a folder it finds invalid (a drive that does not exist, a file on the way)
; by the registry's or the default one, in silence: setup judges the folder
; itself. Forward slashes are taken as backslashes.
Function folder_from_command_line
  Push $0
  Push $1
  Push $2
  StrCpy $folder_given 0
  StrCpy $given_folder ""
  System::Call 'kernel32::GetCommandLineW() w .r0'
  StrLen $1 $CMDLINE
  StrCpy $2 $0 4 $1
  ${If} $2 S== " /D="
    IntOp $1 $1 + 4
    StrCpy $0 $0 "" $1
    StrCpy $folder_given 1
    ${Do}
      StrCpy $1 $0 1
      StrCpy $0 $0 "" 1
      ${IfThen} $1 == "/" ${|} StrCpy $1 "\" ${|}
      StrCpy $given_folder "$given_folder$1"
    ${LoopUntil} $0 == ""
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; $R4: $INSTDIR as ANSI text in a buffer for System::Free, or 0 when one of
; its characters has no place in the ANSI code page (no best-fit stand-ins:
; KvxRegistry would be given another folder).
Function ansi_folder
  Push $0
  Push $1
  System::Alloc ${ANSI_BUFFER}
  Pop $R4
  ; CP_ACP, WC_NO_BEST_FIT_CHARS; the last argument is set when a character
  ; had to be replaced.
  StrCpy $0 $INSTDIR
  System::Call 'kernel32::WideCharToMultiByte(i 0, i 0x400, w r0, i -1, p R4, i ${ANSI_BUFFER}, p 0, *i 0 r1) i .r0'
  ${If} $0 == 0
  ${OrIf} $1 != 0
    System::Free $R4
    StrCpy $R4 0
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

; Whether setup can install into $INSTDIR, judged without writing anything.
; $R0: 0 when it can, else the exit code, with the reason in $R1.
Function check_target
  Push $0
  Push $1
  Push $2
  Push $3
  Push $R4
  StrCpy $R0 0
  StrCpy $R1 ""
  StrCpy $first_missing ""

  ; An installed suite is upgraded in its own folder. A second copy elsewhere
  ; would leave two suites and one service: the administrator removes the
  ; first one before choosing another folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" kvxTgDir
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
  ${AndIf} ${FileExists} "$0\hbalogd\hbalogd.exe"
    StrCpy $R0 ${EXIT_OTHER_FOLDER}
    StrCpy $R1 "${PRODUCT} are installed in $0. Install into that folder to upgrade them, or remove them first."
    Goto done
  ${EndIf}
  ${If} $folder_unusable == 1
    StrCpy $R0 ${EXIT_FILES}
    StrCpy $R1 "Setup cannot make the folder $given_folder: a folder's name cannot hold the characters * ? | < > $\" : (but for the drive's). Nothing was installed."
    Goto done
  ${EndIf}

  ; What the folder's name allows. It must be a folder on a drive letter: a
  ; network folder is out of reach of the service, which runs as LocalSystem
  ; from the start of Windows.
  StrCpy $0 $INSTDIR 1
  StrCpy $1 $INSTDIR 1 1
  StrCpy $2 "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
  ${Do}
    StrCpy $3 $2 1
    StrCpy $2 $2 "" 1
    ${IfThen} $3 == $0 ${|} ${Break} ${|}
  ${LoopUntil} $3 == ""
  StrLen $2 $INSTDIR
  ${If} $3 != ""
  ${AndIf} $1 == ":"
  ${AndIf} $2 <= 3
    StrCpy $R0 ${EXIT_REFUSED}
    StrCpy $R1 "Setup refuses the folder $0:\: it is the root of a drive; choose a folder on it, such as $0:\KVX."
    Goto done
  ${EndIf}
  StrCpy $2 $INSTDIR 1 2
  ${If} $3 == ""
  ${OrIf} $1 != ":"
  ${OrIf} $2 != "\"
    StrCpy $R0 ${EXIT_REFUSED}
    StrCpy $R1 "Setup refuses the folder $INSTDIR: hbalogd needs a full path on a drive letter, such as D:\Tools\KVX."
    Goto done
  ${EndIf}
  StrLen $1 $INSTDIR
  ${If} $1 > ${FOLDER_MAX}
    StrCpy $R0 ${EXIT_REFUSED}
    StrCpy $R1 "Setup refuses the folder $INSTDIR: it has $1 characters, and hbalogd can use at most ${FOLDER_MAX} (its paths, up to <folder>\hbalogd\errorlevel_list.txt, must fit 256 characters)."
    Goto done
  ${EndIf}
  Call ansi_folder
  ${If} $R4 == 0
    StrCpy $R0 ${EXIT_REFUSED}
    StrCpy $R1 "Setup refuses the folder $INSTDIR: it has characters outside this system's ANSI code page, and KVXService and hbalogd take the folder as ANSI text."
    Goto done
  ${EndIf}
  System::Free $R4
  ; The service's program path is expanded when the service starts.
  StrCpy $3 $INSTDIR
  System::Call 'kernel32::ExpandEnvironmentStringsW(w r3, w .r2, i ${NSIS_MAX_STRLEN}) i .r3'
  ${If} $2 S!= $INSTDIR
    StrCpy $R0 ${EXIT_REFUSED}
    StrCpy $R1 "Setup refuses the folder $INSTDIR: Windows would read its %...% as an environment variable (it becomes $2) when it starts the service."
    Goto done
  ${EndIf}

  ; What the file system allows: the drive exists, and every folder on the
  ; way that exists is a folder, not a file.
  StrCpy $0 $INSTDIR 3
  System::Call 'kernel32::GetFileAttributesW(w r0) i .r2'
  ${If} $2 == -1
    StrCpy $0 $INSTDIR 2
    StrCpy $R0 ${EXIT_FILES}
    StrCpy $R1 "Setup cannot make the folder $INSTDIR: there is no drive $0. Nothing was installed."
    Goto done
  ${EndIf}
  StrCpy $3 3
  ${Do}
    IntOp $3 $3 + 1
    StrCpy $2 $INSTDIR 1 $3
    ${If} $2 == "\"
    ${OrIf} $2 == ""
      StrCpy $0 $INSTDIR $3
      System::Call 'kernel32::GetFileAttributesW(w r0) i .r2'
      ${If} $2 == -1
        StrCpy $first_missing $0
        ${Break}
      ${EndIf}
      IntOp $2 $2 & 0x10 ; FILE_ATTRIBUTE_DIRECTORY
      ${If} $2 == 0
        StrCpy $R0 ${EXIT_FILES}
        StrCpy $R1 "Setup cannot make the folder $INSTDIR: $0 is a file. Nothing was installed."
        Goto done
      ${EndIf}
    ${EndIf}
  ${LoopUntil} $3 >= $1
done:
  Pop $R4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Makes $INSTDIR and proves that a file can be written there; when not, the
; folders it made are removed again. $R0: 1 when the folder is ready.
Function make_folder
  Push $0
  Push $1
  StrCpy $R0 0
  ClearErrors
  CreateDirectory $INSTDIR
  ${IfNot} ${Errors}
    ; GetTempFileNameW makes the file; its result is not enough (Wine gives a
    ; name for a file it could not make).
    StrCpy $0 $INSTDIR
    System::Call 'kernel32::GetTempFileNameW(w r0, w "kvx", i 0, w .r0) i .r1'
    ${If} $1 <> 0
    ${AndIf} ${FileExists} $0
      Delete $0
      StrCpy $R0 1
    ${EndIf}
  ${EndIf}
  ${If} $R0 != 1
  ${AndIf} $first_missing != ""
    StrCpy $0 $INSTDIR
    ${Do}
      RMDir $0
      ${IfThen} $0 == $first_missing ${|} ${Break} ${|}
      ${Do}
        StrCpy $1 $0 1 -1
        StrCpy $0 $0 -1
        ${IfThen} $1 == "\" ${|} ${Break} ${|}
      ${LoopUntil} $0 == ""
    ${LoopUntil} $0 == ""
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

; $1: 1 when the event of hbalogd's ready capture exists.
Function capture_ready
  ; SYNCHRONIZE
  System::Call 'kernel32::OpenEventW(i 0x100000, i 0, w "Global\${NOTIFY_EVENT}") p .r1'
  ${If} $1 P= 0
    System::Call 'kernel32::OpenEventW(i 0x100000, i 0, w "${NOTIFY_EVENT}") p .r1'
  ${EndIf}
  ${If} $1 P<> 0
    System::Call 'kernel32::CloseHandle(p r1)'
    StrCpy $1 1
  ${Else}
    StrCpy $1 0
  ${EndIf}
FunctionEnd

; After KvxRegistry, which does not look at the outcome of "net start": waits
; for the service to leave START_PENDING and for its capture to be ready, or
; for it to end (a service whose capture cannot start, for want of its lists,
; reaches RUNNING and stops by itself). $R0: 1 when it is RUNNING.
Function wait_for_service_run
  Push $1
  Push $R1
  Push $R2
  StrCpy $R1 0
  ${Do}
    Call service_state
    ${If} $R2 == 4
      Call capture_ready
      ${IfThen} $1 == 1 ${|} ${Break} ${|}
    ${ElseIf} $R2 != 2 ; START_PENDING
    ${AndIf} $R2 != 3 ; STOP_PENDING: its exit code comes with STOPPED
      ${Break}
    ${EndIf}
    IntOp $R1 $R1 + 1
    ${IfThen} $R1 >= ${START_POLLS} ${|} ${Break} ${|}
    Sleep 250
  ${Loop}
  ${If} $R2 == 4
    StrCpy $R0 1
    ${IfThen} $1 != 1 ${|} DetailPrint "The service ${SERVICE} runs; its capture is not ready yet" ${|}
  ${Else}
    StrCpy $R0 0
  ${EndIf}
  Pop $R2
  Pop $R1
  Pop $1
FunctionEnd

Function .onInit
  SetRegView 64
  StrCpy $stopped_service 0
  StrCpy $folder_unusable 0
  Call folder_from_command_line
  ${If} $folder_given == 1
    ; NSIS drops from $INSTDIR what a folder's name cannot hold (* ? | < > " :
    ; control characters) and the blanks and backslashes that end it: a
    ; folder that loses more than those ends could never be made.
    StrCpy $INSTDIR $given_folder
    ${Do}
      StrCpy $0 $given_folder 1 -1
      ${If} $0 != " "
      ${AndIf} $0 != "\"
        ${Break}
      ${EndIf}
      StrCpy $given_folder $given_folder -1
    ${LoopUntil} $given_folder == ""
    ${IfThen} $INSTDIR S!= $given_folder ${|} StrCpy $folder_unusable 1 ${|}
  ${Else}
    ; An installed suite is upgraded where it is.
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" kvxTgDir
    ${IfThen} $0 != "" ${|} StrCpy $INSTDIR $0 ${|}
  ${EndIf}
  Call trim_folder
  ; A folder given on the command line is judged before anything is shown,
  ; and so is the folder of a silent setup; the folder page judges the one
  ; chosen there.
  ${If} $folder_given == 1
  ${OrIf} ${Silent}
    Call check_target
    ${If} $R0 != 0
      MessageBox MB_OK|MB_ICONSTOP $R1 /SD IDOK
      SetErrorLevel $R0
      Abort
    ${EndIf}
  ${EndIf}
FunctionEnd

Function directory_page_leave
  ; The folder typed on the page, not the /D= one.
  StrCpy $folder_unusable 0
  Call trim_folder
  Call check_target
  ${If} $R0 != 0
    MessageBox MB_OK|MB_ICONSTOP $R1
    Abort
  ${EndIf}
FunctionEnd

; An upgrade that fails after stopping the service (a file that cannot be
; written) starts it again from whatever program is now in place, so that
; the adapters' errors are still logged.
Function .onInstFailed
  ${If} $stopped_service == 1
    Call service_state
    ${If} $R2 == 1
      nsExec::Exec '"$SYSDIR\net.exe" start ${SERVICE}'
      Pop $1
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "${PRODUCT}"
  ; Nothing is stopped, copied or registered before the folder is known to
  ; serve.
  Call check_target
  ${If} $R0 != 0
    !insertmacro FAIL $R0 $R1
  ${EndIf}
  Call make_folder
  ${If} $R0 != 1
    !insertmacro FAIL ${EXIT_FILES} "Setup cannot create or write the folder $INSTDIR. Nothing was installed."
  ${EndIf}

  ; The service runs its program from this folder during an upgrade: it is
  ; stopped (and its process ended) before anything is replaced, and
  ; KvxRegistry registers and starts it again from the new program.
  Call service_state
  ${If} $R2 > 1
    DetailPrint "Stopping the service ${SERVICE}"
    nsExec::Exec '"$SYSDIR\net.exe" stop ${SERVICE}'
    Pop $1
    StrCpy $stopped_service 1
  ${EndIf}
  Call wait_for_service_stop
  ${If} $R0 != 1
    !insertmacro FAIL ${EXIT_IN_USE} "The service ${SERVICE} did not stop: $INSTDIR\hbalogd\hbalogd.exe is still in use. Nothing was replaced."
  ${EndIf}

  SetOverwrite on
  SetOutPath "$INSTDIR"
  File "${STAGE}/kvxls.exe"
  File "${STAGE}/kvxlog.exe"
  File "${STAGE}/hbautil.exe"
  File "${STAGE}/KVXService.dll"
  File "${STAGE}/README-admin.txt"
  File "${STAGE}/hbalogd-defaults.reg"
  SetOutPath "$INSTDIR\hbalogd"
  File "${STAGE}/hbalogd/hbalogd.exe"
  !insertmacro PLACE_LIST errorlog_list.txt
  !insertmacro PLACE_LIST errorlevel_list.txt
  CreateDirectory "$INSTDIR\hbalogd\log"
  SetOutPath "$INSTDIR"

  ; The entry of Windows' list of installed programs, and the folder that
  ; UninstInitialize reads.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" kvxTgDir "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayName "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" Publisher Velmora
  WriteRegStr HKLM "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoRepair 1

  ; hbalogd's configuration belongs to the administrator: setup writes it only
  ; when there is none, at the defaults with this folder's lists and log folder.
  ClearErrors
  EnumRegValue $1 HKLM "${CONFIG_KEY}" 0
  ${If} ${Errors}
    DetailPrint "Writing hbalogd's configuration for $INSTDIR"
    WriteRegDWORD HKLM "${CONFIG_KEY}" max_retry_count 300
    WriteRegDWORD HKLM "${CONFIG_KEY}" retry_frequency 1
    WriteRegDWORD HKLM "${CONFIG_KEY}" unique_id_position 40
    WriteRegDWORD HKLM "${CONFIG_KEY}" dump_data_size 104
    WriteRegDWORD HKLM "${CONFIG_KEY}" error_log_size 1024
    WriteRegDWORD HKLM "${CONFIG_KEY}" max_error_log_count 16
    WriteRegDWORD HKLM "${CONFIG_KEY}" max_record_count 4096
    WriteRegStr HKLM "${CONFIG_KEY}" error_log_file_path "$INSTDIR\hbalogd\log"
    WriteRegStr HKLM "${CONFIG_KEY}" error_log_list_path "$INSTDIR\hbalogd"
  ${Else}
    DetailPrint "Keeping hbalogd's configuration under HKLM\${CONFIG_KEY}"
  ${EndIf}

  ; KvxRegistry takes the folder as ANSI text (check_target made sure that
  ; it has one).
  DetailPrint "Registering and starting the service ${SERVICE}"
  StrCpy $stopped_service 0
  Call ansi_folder
  Push KvxRegistry
  Call call_hook
  System::Free $R4
  ${If} $R0 == ""
    !insertmacro FAIL ${EXIT_HOOK} "The service ${SERVICE} could not be registered and started: $R1. The files are installed; correct the cause and run setup again, or remove ${PRODUCT}."
  ${ElseIf} $R0 != 0
    !insertmacro FAIL ${EXIT_HOOK} "The service ${SERVICE} could not be registered and started: KvxRegistry returned $R0. The files are installed; correct the cause and run setup again, or remove ${PRODUCT}."
  ${EndIf}
  Call wait_for_service_run
  ${If} $R0 != 1
    ${IfThen} $service_exit_code == "" ${|} StrCpy $service_exit_code unknown ${|}
    !insertmacro FAIL ${EXIT_NOT_RUNNING} "The service ${SERVICE} is registered and was started, but it does not run (Win32 exit code $service_exit_code). The events of source Hbalogd in the Application log say why. The files are installed; correct the cause and run setup again, or remove ${PRODUCT}."
  ${EndIf}
  DetailPrint "The service ${SERVICE} is registered and running"
SectionEnd

; Removes one error list unless the administrator has changed it.
!macro UNINSTALL_LIST NAME
  Push "${NAME}"
  Call un.list_as_placed
  ${If} $R0 == 1
    Delete "$INSTDIR\hbalogd\${NAME}"
  ${ElseIf} ${FileExists} "$INSTDIR\hbalogd\${NAME}"
    DetailPrint "Kept your changed hbalogd\${NAME}"
  ${EndIf}
  Delete "$INSTDIR\hbalogd\${NAME}.new"
!macroend

Function un.onInit
  SetRegView 64
  Call un.trim_folder
FunctionEnd

Section "Uninstall"
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" kvxTgDir
  ${If} $0 == ""
    !insertmacro FAIL ${EXIT_NOT_INSTALLED} "${PRODUCT} are not installed: HKLM\${UNINSTALL_KEY} has no kvxTgDir."
  ${EndIf}
  ; UninstInitialize acts on the installed suite: an uninstaller left in
  ; another folder must not remove that one.
  ${If} $0 != $INSTDIR
    !insertmacro FAIL ${EXIT_OTHER_FOLDER} "${PRODUCT} are installed in $0, not in $INSTDIR: use the uninstaller there."
  ${EndIf}

  DetailPrint "Stopping and unregistering the service ${SERVICE}"
  Push UninstInitialize
  Call un.call_hook
  ${If} $R0 != 0
    ${IfThen} $R0 != "" ${|} StrCpy $R1 "UninstInitialize returned $R0" ${|}
    DetailPrint $R1
    MessageBox MB_YESNO|MB_ICONEXCLAMATION "The service ${SERVICE} could not be stopped and unregistered ($R1). Remove the files anyway?" /SD IDNO IDYES remove_anyway
    SetErrorLevel ${EXIT_HOOK}
    Abort "The service ${SERVICE} could not be stopped and unregistered; nothing was removed."
    remove_anyway:
  ${EndIf}
  Call un.wait_for_service_stop
  ${If} $R0 != 1
    !insertmacro FAIL ${EXIT_IN_USE} "The service ${SERVICE} did not stop: $INSTDIR\hbalogd\hbalogd.exe is still in use. Nothing was removed."
  ${EndIf}

  ClearErrors
  Delete "$INSTDIR\hbalogd\hbalogd.exe"
  Delete "$INSTDIR\kvxls.exe"
  Delete "$INSTDIR\kvxlog.exe"
  Delete "$INSTDIR\hbautil.exe"
  Delete "$INSTDIR\KVXService.dll"
  ${If} ${Errors}
    !insertmacro FAIL ${EXIT_FILES} "Some programs of ${PRODUCT} in $INSTDIR could not be removed; run the uninstaller again."
  ${EndIf}
  Delete "$INSTDIR\README-admin.txt"
  Delete "$INSTDIR\hbalogd-defaults.reg"
  !insertmacro UNINSTALL_LIST errorlog_list.txt
  !insertmacro UNINSTALL_LIST errorlevel_list.txt
  Delete "$INSTDIR\uninstall.exe"
  ; The entry goes last: until then the uninstaller can be run again.
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DetailPrint "Kept: the log folder $INSTDIR\hbalogd\log and hbalogd's configuration under HKLM\${CONFIG_KEY}"
SectionEnd

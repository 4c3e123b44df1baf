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
;   2 a file could not be written (setup) or removed (uninstaller)
;   3 KVXService failed: KvxRegistry (setup), UninstInitialize (uninstaller)
;   4 hbalogd did not stop: its program is still in use
;   5 the suite is installed in another folder
;   6 the suite is not installed (uninstaller)

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

!define EXIT_FILES 2
!define EXIT_HOOK 3
!define EXIT_IN_USE 4
!define EXIT_OTHER_FOLDER 5
!define EXIT_NOT_INSTALLED 6

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\velmora\drivers\hba"
; An installed suite is upgraded where it is (the 64-bit view: this is a 64-bit program).
InstallDirRegKey HKLM "${UNINSTALL_KEY}" kvxTgDir
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
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1' ; SC_MANAGER_CONNECT
    ${If} $1 P<> 0
      System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE}", i 4) p .r2' ; SERVICE_QUERY_STATUS
      ${If} $2 P<> 0
        System::Call '*(i, i, i, i, i, i, i) p .r3' ; SERVICE_STATUS
        System::Call 'advapi32::QueryServiceStatus(p r2, p r3) i .r4'
        ${If} $4 <> 0
          System::Call '*$3(i, i .R2)'
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

Function .onInit
  SetRegView 64
  StrCpy $stopped_service 0
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
  ; An installed suite is upgraded in its own folder. A second copy elsewhere
  ; would leave two suites and one service: the administrator removes the
  ; first one before choosing another folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" kvxTgDir
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
  ${AndIf} ${FileExists} "$0\hbalogd\hbalogd.exe"
    !insertmacro FAIL ${EXIT_OTHER_FOLDER} "${PRODUCT} are installed in $0. Install into that folder to upgrade them, or remove them first."
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

  ; KvxRegistry takes the folder as an ANSI string. The library is unloaded
  ; after the call, so that nothing of this folder stays in use.
  DetailPrint "Registering and starting the service ${SERVICE}"
  StrCpy $stopped_service 0
  System::Call '$INSTDIR\KVXService.dll::KvxRegistry(p 0, p 0, m "$INSTDIR") i .r0 ? u'
  ${If} $0 != 0
    !insertmacro FAIL ${EXIT_HOOK} "The service ${SERVICE} could not be registered and started: KvxRegistry returned $0. The files are installed; correct the cause and run setup again, or remove ${PRODUCT}."
  ${EndIf}
  DetailPrint "The service ${SERVICE} is registered and started"
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
  System::Call '$INSTDIR\KVXService.dll::UninstInitialize() i .r0 ? u'
  ${If} $0 != 0
    DetailPrint "UninstInitialize returned $0"
    MessageBox MB_YESNO|MB_ICONEXCLAMATION "The service ${SERVICE} could not be stopped and unregistered (UninstInitialize returned $0). Remove the files anyway?" /SD IDNO IDYES remove_anyway
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

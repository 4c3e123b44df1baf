# hbalogd.exe /RegServer, /Service and /UnregServer against Wine's registry
# and service manager: the AppID entry, the service's configuration, the
# event source, the type library, and what unregistering leaves.
source "$(dirname "$0")/lib.sh"
unregister_hbalogd

wine "$hbalogd" >/dev/null 2>&1
expect_eq "never registered: a run without switch ends with ERROR_FILE_NOT_FOUND" 2 $?
wine "$hbalogd" /RegServer /x >/dev/null 2>&1
expect_eq "a switch that is not last is no switch: the run ends unregistered" 2 $?
expect_eq "... and registers nothing" absent "$(reg_value "HKCR\\AppID\\$appid" "")"

wine "$hbalogd" /regserver >/dev/null 2>&1
expect_eq "/regserver (any case) exits 0" 0 $?
expect_eq "AppID default value" "REG_SZ|hbalogd" "$(reg_value "HKCR\\AppID\\$appid" "")"
expect_eq "AppID has no LocalService without the service" absent "$(reg_value "HKCR\\AppID\\$appid" LocalService)"
expect_eq "AppID has no ServiceParameters without the service" absent \
  "$(reg_value "HKCR\\AppID\\$appid" ServiceParameters)"
expect_eq "hbalogd.EXE names the AppID" "REG_SZ|$appid" "$(reg_value 'HKCR\AppID\hbalogd.EXE' AppID)"
expect_eq "type library name" "REG_SZ|HBALOGDLib" "$(reg_value "HKCR\\TypeLib\\$typelib\\1.0" "")"
expect_eq "type library file (win64)" "REG_SZ|$hbalogd_windows_path" \
  "$(reg_value "HKCR\\TypeLib\\$typelib\\1.0\\0\\win64" "")"
expect_eq "type library flags" "REG_SZ|0" "$(reg_value "HKCR\\TypeLib\\$typelib\\1.0\\FLAGS" "")"
expect_eq "type library help directory" "REG_SZ|${hbalogd_windows_path%\\*}" \
  "$(reg_value "HKCR\\TypeLib\\$typelib\\1.0\\HELPDIR" "")"
expect_eq "RegServer installs no service" absent "$(service_state)"

wine "$hbalogd" -Service >/dev/null 2>&1
expect_eq "-Service exits 0" 0 $?
expect_eq "LocalService" "REG_SZ|hbalogd" "$(reg_value "HKCR\\AppID\\$appid" LocalService)"
expect_eq "ServiceParameters" "REG_SZ|-Service" "$(reg_value "HKCR\\AppID\\$appid" ServiceParameters)"
expect_eq "the service exists, stopped" 1 "$(service_state)"
expect_match "sc.exe: own process" 'TYPE +: 10 +WIN32_OWN_PROCESS' "$(winetool sc query hbalogd)"
# Wine's sc.exe has no qc: the configuration is read where its service
# manager keeps it.
expect_eq "service type: own process" "REG_DWORD|0x10" "$(reg_value "$service_key" Type)"
expect_eq "start: automatic" "REG_DWORD|0x2" "$(reg_value "$service_key" Start)"
expect_eq "error control: normal" "REG_DWORD|0x1" "$(reg_value "$service_key" ErrorControl)"
expect_eq "program path: full and quoted, no arguments" "REG_SZ|\"$hbalogd_windows_path\"" \
  "$(reg_value "$service_key" ImagePath)"
expect_eq "depends on RPCSS alone" "REG_MULTI_SZ|RPCSS" "$(reg_value "$service_key" DependOnService)"
expect_eq "display name" "REG_SZ|hbalogd" "$(reg_value "$service_key" DisplayName)"
expect_eq "runs as LocalSystem" "REG_SZ|LocalSystem" "$(reg_value "$service_key" ObjectName)"
expect_eq "no load-order group" absent "$(reg_value "$service_key" Group)"
expect_eq "event source message file: the program" "REG_EXPAND_SZ|$hbalogd_windows_path" \
  "$(reg_value "$event_source_key" EventMessageFile)"
expect_eq "event source types: error and information" "REG_DWORD|0x5" \
  "$(reg_value "$event_source_key" TypesSupported)"

# Started by hand, not by the service manager: the dispatcher call fails and
# the program runs as a plain process (which ends here for want of the lists).
out=$(timeout 60 wine "$hbalogd" 2>/dev/null | tr -d '\r')
expect_eq "installed, run by hand: a plain process that reports on standard output" "Service started" "$out"
expect_eq "... and the service stays stopped" 1 "$(service_state)"

wine "$hbalogd" /SERVICE >/dev/null 2>&1
expect_eq "/Service again exits 0" 0 $?
expect_eq "... and leaves one service" 1 "$(service_state)"
expect_eq "... with the same program path" "REG_SZ|\"$hbalogd_windows_path\"" "$(reg_value "$service_key" ImagePath)"

wine "$hbalogd" /RegServer >/dev/null 2>&1
expect_eq "RegServer over the service exits 0" 0 $?
expect_eq "... removes the service" absent "$(service_state)"
expect_eq "... and LocalService" absent "$(reg_value "HKCR\\AppID\\$appid" LocalService)"
expect_eq "... keeps the AppID entry" "REG_SZ|hbalogd" "$(reg_value "HKCR\\AppID\\$appid" "")"

wine "$hbalogd" /Service >/dev/null 2>&1
wine "$hbalogd" /UnregServer >/dev/null 2>&1
expect_eq "/UnregServer exits 0" 0 $?
key_exists 'HKCR\AppID'
expect_eq "HKCR\\AppID stays" 0 $?
key_exists "HKCR\\AppID\\$appid"
expect_eq "the module's AppID key is gone" 1 $?
key_exists 'HKCR\AppID\hbalogd.EXE'
expect_eq "hbalogd.EXE is gone" 1 $?
key_exists "HKCR\\TypeLib\\$typelib"
expect_eq "the type library is unregistered" 1 $?
expect_eq "the service is gone" absent "$(service_state)"
expect_eq "the event source stays" "REG_DWORD|0x5" "$(reg_value "$event_source_key" TypesSupported)"
wine "$hbalogd" >/dev/null 2>&1
expect_eq "unregistered: a run without switch ends with ERROR_FILE_NOT_FOUND again" 2 $?

unregister_hbalogd
finish

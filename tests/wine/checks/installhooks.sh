# KVXService.dll under Wine, loaded and called by kvxhook.exe as the
# installer would: KvxRegistry, UninstInitialize and UninstUnInitialize with
# their result codes, the programs they run (Wine's +process trace), and the
# message boxes they show (a +relay trace of MessageBoxA: with no display the
# box cannot open and returns at once).
source "$(dirname "$0")/lib.sh"
unregister_hbalogd

uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\KVXTools'
system32=$drive_c/windows/system32

# An install directory: <dir>\hbalogd\hbalogd.exe (the real one, or the fake
# that ends with KVX_FAKE_STATUS), and the two lists beside it.
make_install_dir() { # NAME real|fake
  local dir=$drive_c/$1
  mkdir -p "$dir/hbalogd/log"
  if [ "$2" == real ]; then cp "$hbalogd" "$dir/hbalogd/hbalogd.exe"; else cp "$fake_hbalogd" "$dir/hbalogd/hbalogd.exe"; fi
  cp "$KVX_SOURCE_DIR"/logd/output/lists/*.txt "$dir/hbalogd/"
}

# Calls one export; leaves kvxhook's output, the programs started and the
# message box texts in $hook_out, $hook_started and $hook_boxes.
call_hook() { # EXPORT [DIRECTORY]
  local trace
  trace=$(WINEDEBUG=-all,+process,+relay wine "$kvxhook" 'C:\kvx-hooks\KVXService.dll' "$@" 2>&1 >"$WINEPREFIX/hook.out")
  hook_status=$?
  hook_out=$(tr -d '\r' <"$WINEPREFIX/hook.out")
  # The children trace their own children too: only kvxhook's thread counts,
  # the one that traces first.
  hook_started=$(tr -d '\r' <<<"$trace" | sed -n 's/^\([0-9a-f]*\):trace:process:CreateProcessInternalW app .* cmdline L"\(.*\)"$/\1 \2/p' |
    awk 'NR == 1 { tid = $1 } $1 == tid { sub(/^[0-9a-f]+ /, ""); print }')
  hook_boxes=$(tr -d '\r' <<<"$trace" | sed -n 's/.*Call user32\.MessageBoxA(00000000,[0-9a-f]* "\(.*\)",00000000,00000000).*/\1/p')
}

make_install_dir kvx-hooks real
cp "$kvxservice" "$drive_c/kvx-hooks/"
make_install_dir kvx-fake fake
reg_set "$config_key" error_log_list_path REG_SZ 'C:\kvx-hooks\hbalogd'
reg_set "$config_key" error_log_file_path REG_SZ 'C:\kvx-hooks\hbalogd\log'

call_hook KvxRegistry 'C:\kvx-nowhere'
expect_eq "KvxRegistry, program missing: -1" "KvxRegistry returned -1" "$hook_out"
expect_eq "... and runs nothing else" 'C:\\kvx-nowhere\\hbalogd\\hbalogd.exe /Service' "$hook_started"
expect_eq "... registers nothing" absent "$(service_state)"

call_hook KvxRegistry 'C:\kvx-fake'
expect_eq "KvxRegistry, registering run exits 5: 5" "KvxRegistry returned 5" "$hook_out"
expect_eq "... and the service is not started" 'C:\\kvx-fake\\hbalogd\\hbalogd.exe /Service' "$hook_started"

call_hook KvxRegistry 'C:\kvx-hooks'
expect_eq "KvxRegistry: 0" "KvxRegistry returned 0" "$hook_out"
expect_eq "... runs hbalogd /Service, then net start hbalogd" \
  'C:\\kvx-hooks\\hbalogd\\hbalogd.exe /Service
net start hbalogd' "$hook_started"
expect_eq "... the service runs the installed program" "REG_SZ|\"C:\\kvx-hooks\\hbalogd\\hbalogd.exe\"" \
  "$(reg_value "$service_key" ImagePath)"
expect_eq "... and is RUNNING" 4 "$(wait_for_state 4 20)"
expect_eq "... no message box" "" "$hook_boxes"

call_hook UninstUnInitialize
expect_eq "UninstUnInitialize: 0" "UninstUnInitialize returned 0" "$hook_out"
expect_eq "... runs nothing" "" "$hook_started"

wine reg delete "$uninstall_key" /f >/dev/null 2>&1
call_hook UninstInitialize
expect_eq "UninstInitialize, no uninstall key: -1" "UninstInitialize returned -1" "$hook_out"
expect_eq "... silently" "" "$hook_boxes"
expect_eq "... running nothing" "" "$hook_started"
expect_eq "... the service still runs" 4 "$(service_state)"

reg_set "$uninstall_key" DisplayName REG_SZ KVXTools
call_hook UninstInitialize
expect_eq "UninstInitialize, no kvxTgDir: -1" "UninstInitialize returned -1" "$hook_out"
expect_eq "... silently" "" "$hook_boxes"
expect_eq "... running nothing" "" "$hook_started"

reg_set "$uninstall_key" kvxTgDir REG_SZ 'C:\kvx-hooks'
call_hook UninstInitialize
expect_eq "UninstInitialize: 0" "UninstInitialize returned 0" "$hook_out"
expect_eq "... runs net stop hbalogd, then hbalogd /UnregServer" \
  'net stop hbalogd
C:\\kvx-hooks\\hbalogd\\hbalogd.exe /UnregServer' "$hook_started"
expect_eq "... the service is gone" absent "$(service_state)"
key_exists "HKCR\\AppID\\$appid"
expect_eq "... and so is its AppID entry" 1 $?
expect_eq "... no message box" "" "$hook_boxes"

call_hook UninstInitialize
expect_eq "UninstInitialize with the service already gone still unregisters: 0" \
  "UninstInitialize returned 0" "$hook_out"

reg_set "$uninstall_key" kvxTgDir REG_SZ 'C:\kvx-nowhere'
call_hook UninstInitialize
expect_eq "UninstInitialize, program missing: -1" "UninstInitialize returned -1" "$hook_out"
expect_eq "... with the message, the status -1 and the C library's text for the missing file" \
  'hbalogd Service Not Unregistry.\nrCode = -1\nerrno = 2\nmsg = No such file or directory\n' "$hook_boxes"

reg_set "$uninstall_key" kvxTgDir REG_SZ 'C:\kvx-fake'
KVX_FAKE_STATUS=3 call_hook UninstInitialize
expect_eq "UninstInitialize, unregistering run exits 3: -1" "UninstInitialize returned -1" "$hook_out"
expect_match "... with the message and rCode 3" '^hbalogd Service Not Unregistry\.\\nrCode = 3\\nerrno = [0-9]+\\nmsg = ' \
  "$hook_boxes"

# Without net.exe the start and stop commands cannot start.
mv "$system32/net.exe" "$system32/net.exe.aside"
call_hook KvxRegistry 'C:\kvx-hooks'
expect_eq "KvxRegistry, start command missing: -2" "KvxRegistry returned -2" "$hook_out"
expect_contains "... undoes the registration through the command interpreter" \
  'cmd.exe /c \"C:\\kvx-hooks\\hbalogd\\hbalogd.exe\" /UnregServer' "$hook_started"
expect_eq "... the service is gone again" absent "$(service_state)"
reg_set "$uninstall_key" kvxTgDir REG_SZ 'C:\kvx-hooks'
call_hook UninstInitialize
expect_eq "UninstInitialize, stop command missing: ends the calling process with -1" 255 "$hook_status"
expect_eq "... before returning" "" "$hook_out"
expect_match "... after the message" '^hbalogd Service Not Stoped\.\\nrCode = -1\\nerrno = [0-9]+\\nmsg = ' "$hook_boxes"
mv "$system32/net.exe.aside" "$system32/net.exe"

wine reg delete "$uninstall_key" /f >/dev/null 2>&1
unregister_hbalogd
rm -rf "$drive_c/kvx-hooks" "$drive_c/kvx-fake" "$WINEPREFIX/hook.out"
finish

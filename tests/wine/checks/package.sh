# The release package (`--target package` of the Windows build): its exact
# contents, its programs being the built ones and needing no DLL beyond
# Windows' own, its texts for Windows editors, and the package at work under
# Wine: the sample configuration imported, the suite unpacked where the
# defaults expect it, the service registered and started by KVXService.
source "$(dirname "$0")/lib.sh"
unregister_hbalogd

shopt -s nullglob
packages=("$KVX_WIN_BUILD"/kvx-hba-tools-*-win64.zip)
shopt -u nullglob
expect_eq "one release package in the Windows build" 1 "${#packages[@]}"
package=${packages[0]:-missing.zip}
top=$(basename "$package" .zip)

expected="$top/
$top/KVXService.dll
$top/README-admin.txt
$top/hbalogd-defaults.reg
$top/hbalogd/
$top/hbalogd/errorlevel_list.txt
$top/hbalogd/errorlog_list.txt
$top/hbalogd/hbalogd.exe
$top/hbalogd/log/
$top/hbautil.exe
$top/kvxlog.exe
$top/kvxls.exe"
# The top folder is implied by the entries below it: some zips list it, some do not.
listing=$( (echo "$top/"; unzip -Z1 "$package") | sort -u)
expect_eq "the package holds exactly the five programs, the lists, the log folder and the two texts" \
  "$expected" "$listing"

unpacked=$WINEPREFIX/package-check
rm -rf "$unpacked"
mkdir -p "$unpacked"
unzip -q "$package" -d "$unpacked"
for pair in hbalogd/hbalogd.exe:logd/host/hbalogd.exe kvxls.exe:listtool/kvxls.exe kvxlog.exe:kvxlog/kvxlog.exe \
  hbautil.exe:paramutil/hbautil.exe KVXService.dll:installhooks/KVXService.dll; do
  cmp -s "$unpacked/$top/${pair%%:*}" "$KVX_WIN_BUILD/${pair#*:}"
  expect_eq "${pair%%:*} is the built program" 0 $?
  imports=$(x86_64-w64-mingw32-objdump -p "$unpacked/$top/${pair%%:*}" | awk '/DLL Name:/ { print toupper($3) }' |
    grep -v -x -E 'ADVAPI32\.DLL|KERNEL32\.DLL|MSVCRT\.DLL|OLE32\.DLL|USER32\.DLL' | tr '\n' ' ')
  expect_eq "${pair%%:*} needs no DLL beyond Windows' own" "" "$imports"
done
for list in errorlog_list.txt errorlevel_list.txt; do
  cmp -s "$unpacked/$top/hbalogd/$list" "$KVX_SOURCE_DIR/logd/output/lists/$list"
  expect_eq "hbalogd/$list is the shipped list" 0 $?
done
for text in README-admin.txt hbalogd-defaults.reg; do
  lines=$(wc -l <"$unpacked/$top/$text")
  crlf=$(grep -c $'\r$' "$unpacked/$top/$text")
  expect_eq "$text: every line ends in CR LF" "$lines" "$crlf"
done
readme=$(tr -d '\r' <"$unpacked/$top/README-admin.txt")
for name in hbalogd.exe kvxls.exe hbautil.exe KVXService.dll hbalogd-defaults.reg "/Service" "/UnregServer" \
  "net start hbalogd" "net stop hbalogd" 'C:\Program Files\velmora\drivers\hba'; do
  expect_contains "README-admin.txt tells of $name" "$name" "$readme"
done

# The sample configuration: the nine values at their defaults.
wine reg import "$(winepath -w "$unpacked/$top/hbalogd-defaults.reg" 2>/dev/null)" >/dev/null 2>&1
expect_eq "hbalogd-defaults.reg imports" 0 $?
expect_eq "the key holds nine values" "dump_data_size
error_log_file_path
error_log_list_path
error_log_size
max_error_log_count
max_record_count
max_retry_count
retry_frequency
unique_id_position" "$(key_listing "$config_key")"
while read -r name value; do
  expect_eq "default $name" "$value" "$(reg_value "$config_key" "$name")"
done <<'DEFAULTS'
max_retry_count REG_DWORD|0x12c
retry_frequency REG_DWORD|0x1
unique_id_position REG_DWORD|0x28
dump_data_size REG_DWORD|0x68
error_log_size REG_DWORD|0x400
max_error_log_count REG_DWORD|0x10
max_record_count REG_DWORD|0x1000
error_log_file_path REG_SZ|C:\Program Files\velmora\drivers\hba\hbalogd\log
error_log_list_path REG_SZ|C:\Program Files\velmora\drivers\hba\hbalogd
DEFAULTS

# Installed where the defaults expect it, registered and started as the
# installer does it: the service runs with no warning and no error.
install_dir=$drive_c/Program\ Files/velmora/drivers/hba
rm -rf "$install_dir"
mkdir -p "$(dirname "$install_dir")"
cp -r "$unpacked/$top" "$install_dir"
mark=$(trace_mark)
out=$(winetool "$kvxhook" 'C:\Program Files\velmora\drivers\hba\KVXService.dll' KvxRegistry \
  'C:\Program Files\velmora\drivers\hba')
expect_eq "KvxRegistry from the package: 0" "KvxRegistry returned 0" "$out"
expect_eq "the installed service is RUNNING" 4 "$(wait_for_state 4 20)"
expect_eq "... from the installed program" 'REG_SZ|"C:\Program Files\velmora\drivers\hba\hbalogd\hbalogd.exe"' \
  "$(reg_value "$service_key" ImagePath)"
out=$(winetool "$install_dir/kvxls.exe")
expect_contains "the packaged kvxls runs" "-------- end of list --------" "$out"

uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\KVXTools'
reg_set "$uninstall_key" kvxTgDir REG_SZ 'C:\Program Files\velmora\drivers\hba'
out=$(winetool "$kvxhook" 'C:\Program Files\velmora\drivers\hba\KVXService.dll' UninstInitialize)
expect_eq "UninstInitialize from the package: 0" "UninstInitialize returned 0" "$out"
expect_eq "... the service is gone" absent "$(service_state)"
# Every report of the run is in once the stop is: none but the two.
stopped_reported() { [[ "$(service_reports_since "$mark")" == *"trace Service stopped" ]]; }
wait_until 10 stopped_reported
expect_eq "... it ran with the sample configuration and the lists: no warning, no error" \
  "trace Service started
trace Service stopped" "$(service_reports_since "$mark")"

wine reg delete "$uninstall_key" /f >/dev/null 2>&1
unregister_hbalogd
rm -rf "$unpacked" "$drive_c/Program Files/velmora"
finish

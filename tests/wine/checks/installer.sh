# The setup program (`installer` target of the Windows build) run silently,
# as a software distribution tool runs it: a fresh install into a folder with
# a blank in its name, an upgrade while the service runs, the removal through
# the entry's QuietUninstallString, a second copy in another folder refused,
# and an install whose KvxRegistry fails.
source "$(dirname "$0")/lib.sh"
unregister_hbalogd

shopt -s nullglob
setups=("$KVX_WIN_BUILD"/kvx-hba-tools-*-setup.exe)
packages=("$KVX_WIN_BUILD"/kvx-hba-tools-*-win64.zip)
shopt -u nullglob
expect_eq "one setup program in the Windows build" 1 "${#setups[@]}"
setup=${setups[0]:-missing.exe}
package=${packages[0]:-missing.zip}
version=$(basename "$setup" -setup.exe)
version=${version#kvx-hba-tools-}

uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\KVXTools'
folder='C:\Program Files\KVX Tools'
dir="$drive_c/Program Files/KVX Tools"
hbalogd_dir=$dir/hbalogd

# Runs setup silently into FOLDER and gives its exit code. Setup takes all of
# the command line after /D= as the folder, unquoted, and wine quotes an
# argument with a blank: the folder goes as words.
run_setup() { # FOLDER
  local words
  read -r -a words <<<"/D=$1"
  wine "$setup" /S "${words[@]}" >/dev/null 2>&1
}

# The files below DIR, one a line, sorted, directories ending in "/".
tree_listing() { (cd "$1" && find . -mindepth 1 \( -type d -printf '%P/\n' -o -printf '%P\n' \) | sort); }

# Waits up to SECONDS for the uninstall entry and uninstall.exe to be gone:
# the uninstaller copies itself away and returns at once, and removes the
# entry last.
wait_for_removal() { # SECONDS
  local deadline=$((SECONDS + $1))
  while key_exists "$uninstall_key" || [ -e "$dir/uninstall.exe" ]; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.2
  done
}

rm -rf "$dir"

# --- A fresh install.
mark=$(trace_mark)
run_setup "$folder"
expect_eq "silent install: exit code 0" 0 $?
top=$(unzip -Z1 "$package" | head -n 1)
expect_eq "the folder holds what the release package holds, and the uninstaller" \
  "$( (unzip -Z1 "$package" | sed "s|^${top%%/*}/||" | grep -v '^$'; echo uninstall.exe) | sort)" "$(tree_listing "$dir")"
for pair in hbalogd/hbalogd.exe:logd/host/hbalogd.exe kvxls.exe:listtool/kvxls.exe hbautil.exe:paramutil/hbautil.exe \
  KVXService.dll:installhooks/KVXService.dll; do
  cmp -s "$dir/${pair%%:*}" "$KVX_WIN_BUILD/${pair#*:}"
  expect_eq "${pair%%:*} is the built program" 0 $?
done
for list in errorlog_list.txt errorlevel_list.txt; do
  cmp -s "$hbalogd_dir/$list" "$KVX_SOURCE_DIR/logd/lists/$list"
  expect_eq "hbalogd/$list is the shipped list" 0 $?
done
for pair in "kvxTgDir:$folder" "InstallLocation:$folder" "DisplayName:KVX HBA tools" "DisplayVersion:$version" \
  "Publisher:Velmora" "UninstallString:\"$folder\\uninstall.exe\"" "QuietUninstallString:\"$folder\\uninstall.exe\" /S"; do
  expect_eq "uninstall entry (64-bit view): ${pair%%:*}" "REG_SZ|${pair#*:}" "$(reg_value "$uninstall_key" "${pair%%:*}")"
done
key_exists 'HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\KVXTools'
expect_eq "... and none in the 32-bit view" 1 $?
# No configuration before: setup writes the sample's nine values, its folders
# made this folder's.
while IFS='=' read -r name data; do
  name=${name//\"/}
  if [[ "$data" == dword:* ]]; then
    expected="REG_DWORD|0x$(printf '%x' $((16#${data#dword:})))"
  else
    data=${data//\\\\/\\}
    data=${data//\"/}
    expected="REG_SZ|$folder${data#'C:\Program Files\velmora\drivers\hba'}"
  fi
  expect_eq "configuration written: $name" "$expected" "$(reg_value "$config_key" "$name")"
done < <(tr -d '\r' <"$KVX_SOURCE_DIR/packaging/hbalogd-defaults.reg" | grep '^"')
expect_eq "... and no other" 9 "$(key_listing "$config_key" | wc -l)"
expect_eq "the service is RUNNING" 4 "$(wait_for_state 4 20)"
expect_eq "... from the installed program" "REG_SZ|\"$folder\\hbalogd\\hbalogd.exe\"" "$(reg_value "$service_key" ImagePath)"
expect_contains "... started once by setup" "trace Service started" "$(service_reports_since "$mark")"

# --- A second copy in another folder is refused while this one is installed.
run_setup 'C:\kvx-elsewhere'
expect_eq "install into another folder: exit code 5" 5 $?
expect_eq "... nothing written there" absent "$([ -e "$drive_c/kvx-elsewhere" ] && echo present || echo absent)"
expect_eq "... the entry still names the first folder" "REG_SZ|$folder" "$(reg_value "$uninstall_key" kvxTgDir)"

# --- An upgrade while the service runs. The running program is made an older
# one (the same program with bytes appended), the administrator has changed
# one list and a configuration value and has log files; the other list is
# one that setup placed, from an older version (same size and time, other text).
winetool net stop hbalogd >/dev/null
expect_eq "(the service stops for the older program)" 1 "$(wait_for_state 1 20)"
cp "$hbalogd_dir/hbalogd.exe" "$WINEPREFIX/older.exe"
printf 'older' >>"$WINEPREFIX/older.exe"
mv "$WINEPREFIX/older.exe" "$hbalogd_dir/hbalogd.exe"
winetool net start hbalogd >/dev/null
expect_eq "(the older program runs as the service)" 4 "$(wait_for_state 4 20)"
# An upgrade that cannot write one of its files stops there, and starts the
# service it stopped again.
rm "$dir/README-admin.txt" && mkdir "$dir/README-admin.txt"
run_setup "$folder"
expect_eq "upgrade that cannot write a file: exit code 2" 2 $?
expect_eq "... the service runs again" 4 "$(wait_for_state 4 20)"
rmdir "$dir/README-admin.txt"

printf 'changed by the administrator\r\n' >>"$hbalogd_dir/errorlevel_list.txt"
cp "$hbalogd_dir/errorlevel_list.txt" "$WINEPREFIX/admin-list.txt"
touch -r "$hbalogd_dir/errorlog_list.txt" "$WINEPREFIX/list-time"
sed -i '1s/^./#/' "$hbalogd_dir/errorlog_list.txt"
touch -r "$WINEPREFIX/list-time" "$hbalogd_dir/errorlog_list.txt"
wine reg add "$config_key" /v max_record_count /t REG_DWORD /d 2048 /f >/dev/null 2>&1
printf 'a log entry\r\n' >"$hbalogd_dir/log/kvx0301.log"

mark=$(trace_mark)
run_setup "$folder"
expect_eq "silent upgrade while the service runs: exit code 0" 0 $?
cmp -s "$hbalogd_dir/hbalogd.exe" "$KVX_WIN_BUILD/logd/host/hbalogd.exe"
expect_eq "... the program in use is replaced by the new one" 0 $?
expect_eq "... one service, RUNNING" 4 "$(wait_for_state 4 20)"
expect_match "... stopped before the files were replaced, then started from the new program" \
  $'trace Service stopped\n(.*\n)?trace Service started' "$(service_reports_since "$mark")"
cmp -s "$hbalogd_dir/errorlevel_list.txt" "$WINEPREFIX/admin-list.txt"
expect_eq "... the list the administrator changed is kept" 0 $?
cmp -s "$hbalogd_dir/errorlevel_list.txt.new" "$KVX_SOURCE_DIR/logd/lists/errorlevel_list.txt"
expect_eq "... with this version's list beside it" 0 $?
cmp -s "$hbalogd_dir/errorlog_list.txt" "$KVX_SOURCE_DIR/logd/lists/errorlog_list.txt"
expect_eq "... the list setup placed is replaced by this version's" 0 $?
expect_eq "... no .new beside it" absent "$([ -e "$hbalogd_dir/errorlog_list.txt.new" ] && echo present || echo absent)"
expect_eq "... the configuration is kept" "REG_DWORD|0x800" "$(reg_value "$config_key" max_record_count)"
expect_eq "... the log files are kept" 'a log entry' "$(tr -d '\r' <"$hbalogd_dir/log/kvx0301.log")"

# --- Removal, as the entry's QuietUninstallString says.
quiet=$(reg_value "$uninstall_key" QuietUninstallString)
uninstaller=$(sed -n 's/^REG_SZ|"\(.*\)" \/S$/\1/p' <<<"$quiet")
wine "$uninstaller" /S >/dev/null 2>&1
expect_eq "silent uninstall: exit code 0" 0 $?
wait_for_removal 60
expect_eq "... the entry and the uninstaller are removed" 0 $?
expect_eq "... the service is gone" absent "$(service_state)"
expect_eq "... the programs are gone; the log folder, its files and the changed list are kept" "hbalogd/
hbalogd/errorlevel_list.txt
hbalogd/log/
hbalogd/log/kvx0301.log" "$(tree_listing "$dir")"
expect_eq "... the configuration is kept" "REG_DWORD|0x800" "$(reg_value "$config_key" max_record_count)"
key_exists "HKCR\\AppID\\$appid"
expect_eq "... hbalogd is unregistered" 1 $?

# --- KvxRegistry fails: the service program cannot load (a DLL it imports
# is disabled for it), so registering it fails.
rm -rf "$dir"
unregister_hbalogd
overrides='HKCU\Software\Wine\AppDefaults\hbalogd.exe\DllOverrides'
wine reg add "$overrides" /v ole32 /t REG_SZ /d '' /f >/dev/null 2>&1
run_setup "$folder"
expect_eq "install whose KvxRegistry fails: exit code 3" 3 $?
expect_eq "... no service" absent "$(service_state)"
expect_eq "... the files and the entry stay for a second attempt or the uninstaller" "REG_SZ|$folder" \
  "$(reg_value "$uninstall_key" kvxTgDir)"
wine reg delete 'HKCU\Software\Wine\AppDefaults\hbalogd.exe' /f >/dev/null 2>&1
# Run in place (_?=), the uninstaller returns when it is done, and cannot
# remove itself.
read -r -a words <<<"_?=$folder"
wine "$dir/uninstall.exe" /S "${words[@]}" >/dev/null 2>&1
expect_eq "... then removed in place: exit code 0" 0 $?
expect_eq "... the programs are gone" "hbalogd/
hbalogd/log/
uninstall.exe" "$(tree_listing "$dir")"
key_exists "$uninstall_key"
expect_eq "... the entry is gone" 1 $?

rm -rf "$dir" "$WINEPREFIX/admin-list.txt" "$WINEPREFIX/list-time"
unregister_hbalogd
finish

# The setup program (`installer` target of the Windows build) run silently,
# as a software distribution tool runs it: a fresh install into a folder with
# a blank in its name, an upgrade while the service runs, the removal through
# the entry's QuietUninstallString, a second copy in another folder refused,
# an install whose KvxRegistry fails, a table of folders whose names hold
# every character that a folder may hold and the command interpreter or the
# setup program's own language would read (installed, upgraded and removed),
# the folders that setup refuses or cannot make, and a service that does not
# run after KvxRegistry.
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
# argument with a blank: the command line is made by runline, exactly.
setup_windows_path="Z:${setup//\//\\}"
runline=$KVX_WINE_PROBES/runline.exe
# Its standard error, with Wine's errors and the message boxes of the hooks
# (MessageBoxA, from a relay trace), is kept for show_state.
run_setup() { # FOLDER [SWITCHES]
  WINEDEBUG=err+all,+relay wine "$runline" "\"$setup_windows_path\" ${2-/S} /D=$1" >/dev/null 2>"$run_errors"
}
# Runs FOLDER's uninstaller silently in place (it returns when it is done).
run_uninstaller() { # FOLDER
  WINEDEBUG=err+all,+relay wine "$runline" "\"$1\\uninstall.exe\" /S _?=$1" >/dev/null 2>"$run_errors"
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
for pair in hbalogd/hbalogd.exe:logd/host/hbalogd.exe kvxls.exe:listtool/kvxls.exe kvxlog.exe:kvxlog/kvxlog.exe \
  hbautil.exe:paramutil/hbautil.exe \
  KVXService.dll:installhooks/KVXService.dll; do
  cmp -s "$dir/${pair%%:*}" "$KVX_WIN_BUILD/${pair#*:}"
  expect_eq "${pair%%:*} is the built program" 0 $?
done
for list in errorlog_list.txt errorlevel_list.txt; do
  cmp -s "$hbalogd_dir/$list" "$KVX_SOURCE_DIR/logd/output/lists/$list"
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

# --- A second copy in another folder is refused while this one is installed,
# even one that cannot be made: never the installed folder instead.
run_setup 'C:\kvx-elsewhere'
expect_eq "install into another folder: exit code 5" 5 $?
expect_eq "... nothing written there" absent "$([ -e "$drive_c/kvx-elsewhere" ] && echo present || echo absent)"
run_setup 'Q:\no\such\drive'
expect_eq "install into a folder on a missing drive: exit code 5" 5 $?
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
cmp -s "$hbalogd_dir/errorlevel_list.txt.new" "$KVX_SOURCE_DIR/logd/output/lists/errorlevel_list.txt"
expect_eq "... with this version's list beside it" 0 $?
cmp -s "$hbalogd_dir/errorlog_list.txt" "$KVX_SOURCE_DIR/logd/output/lists/errorlog_list.txt"
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
run_uninstaller "$folder"
expect_eq "... then removed in place: exit code 0" 0 $?
expect_eq "... the programs are gone" "hbalogd/
hbalogd/log/
uninstall.exe" "$(tree_listing "$dir")"
key_exists "$uninstall_key"
expect_eq "... the entry is gone" 1 $?

rm -rf "$dir" "$WINEPREFIX/admin-list.txt" "$WINEPREFIX/list-time"
unregister_hbalogd

# A second drive, K:, for the table.
drive_k=$WINEPREFIX/drive_k
mkdir -p "$drive_k"
ln -sfn ../drive_k "$WINEPREFIX/dosdevices/k:"
# The Unix path of a folder on C: or K:.
unix_path() { # FOLDER
  local rest=${1:2}
  case ${1:0:1} in
    C | c) echo "$drive_c${rest//\\//}" ;;
    K | k) echo "$drive_k${rest//\\//}" ;;
  esac
}
# The longest folder hbalogd can serve: its longest path,
# <folder>\hbalogd\errorlevel_list.txt, has 255 characters.
long_folder="C:\\kvx $(printf 'l%.0s' {1..100})\\$(printf 'm%.0s' {1..119})"
expect_eq "(the long folder has 227 characters)" 227 "${#long_folder}"

# --- Any folder Windows allows: installed from a fresh start (no
# configuration), RUNNING from there, upgraded where it is (setup without
# /D= finds it) when marked "u", and removed with nothing left but the log
# folder, the configuration and, run in place, the uninstaller.
table=(
  'u|C:\Program Files (x86)\Storage  Tools\KVX'
  '-|C:\kvx   three blanks'
  '-|C:\kvx & co'
  '-|C:\kvx;semicolon'
  'u|C:\kvx $INSTDIR $0 $$'
  "-|C:\\kvx 'quoted'"
  '-|C:\kvx #1'
  '-|C:\kvx 100% sure'
  '-|C:\kvx !bang!'
  '-|C:\kvx ^caret'
  '-|C:\kvx,comma'
  '-|C:\kvx=equals'
  '-|C:\kvx trailing backslash\'
  "u|$long_folder"
  'u|K:\kvx on K'
)
for row in "${table[@]}"; do
  given=${row#*|}
  folder=${given%\\}
  dir=$(unix_path "$folder")
  wine reg delete "$config_key" /f >/dev/null 2>&1
  run_setup "$given"
  expect_eq "[$given] silent install: exit code 0" 0 $?
  expect_eq "[$given] the service is RUNNING" 4 "$(wait_for_state 4 20)"
  expect_eq "[$given] ... from this folder" "REG_SZ|\"$folder\\hbalogd\\hbalogd.exe\"" \
    "$(reg_value "$service_key" ImagePath)"
  expect_eq "[$given] ... with its lists" "REG_SZ|$folder\\hbalogd" "$(reg_value "$config_key" error_log_list_path)"
  entry=$(winetool reg query "$uninstall_key")
  expect_contains "[$given] the entry names the folder" "    kvxTgDir    REG_SZ    $folder"$'\n' "$entry"$'\n'
  expect_contains "[$given] ... and its uninstaller" "    UninstallString    REG_SZ    \"$folder\\uninstall.exe\""$'\n' \
    "$entry"$'\n'
  if [ "${row%%|*}" == u ]; then
    wine "$setup" /S >/dev/null 2>&1
    expect_eq "[$given] upgrade without /D=: exit code 0" 0 $?
    expect_eq "[$given] ... RUNNING from this folder" "4 REG_SZ|\"$folder\\hbalogd\\hbalogd.exe\"" \
      "$(wait_for_state 4 20) $(reg_value "$service_key" ImagePath)"
  fi
  run_uninstaller "$folder"
  expect_eq "[$given] silent removal: exit code 0" 0 $?
  expect_eq "[$given] ... no service" absent "$(service_state)"
  key_exists "$uninstall_key"
  expect_eq "[$given] ... no entry" 1 $?
  expect_eq "[$given] ... nothing left in the folder but the log folder and the uninstaller" "hbalogd/
hbalogd/log/
uninstall.exe" "$(tree_listing "$dir")"
  rm -rf "$dir"
done
wine reg delete "$config_key" /f >/dev/null 2>&1
rm -rf "$drive_c/Program Files (x86)" "$drive_c/kvx "* "$drive_k"/*

# --- Folders that setup refuses (7) or cannot make (2): nothing is written,
# nothing registered. Drive R: is /proc, where nothing can be made or written.
ln -sfn /proc "$WINEPREFIX/dosdevices/r:"
printf 'a file\r\n' >"$drive_c/kvx-file"
# The files and folders of drive C: outside Wine's own.
drive_c_listing() { (cd "$drive_c" && find . -path ./windows -prune -o -path ./users -prune -o -print | sort); }
before=$(drive_c_listing)
refused=(
  "7|${long_folder}x"
  '7|C:\kvx 日本'
  '7|C:\kvx %windir%'
  '7|C:\'
  '7|kvx'
  '2|Q:\no\such\drive'
  '2|C:\kvx-file\sub'
  '2|C:\kvx<angle>'
  '2|R:\kvx'
  '2|R:\sys'
)
for pair in "${refused[@]}"; do
  given=${pair#*|}
  # Wine takes the command line's characters from the locale's encoding.
  LC_ALL=C.UTF-8 run_setup "$given"
  expect_eq "[$given] silent install: exit code ${pair%%|*}" "${pair%%|*}" $?
  expect_eq "[$given] ... no service" absent "$(service_state)"
  key_exists "$uninstall_key" || key_exists "$config_key"
  expect_eq "[$given] ... no entry, no configuration" 1 $?
done
expect_eq "... no file made on drive C:" "$before" "$(drive_c_listing)"
# Interactive setup stops at once with the same message (with no display a
# message box returns at once: the call is read from a +relay trace).
relay=$(reg_value 'HKCU\Software\Wine\Debug' RelayInclude)
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d user32.MessageBoxIndirectW /f >/dev/null 2>&1
trace=$(WINEDEBUG=-all,+relay wine "$runline" "\"$setup_windows_path\" /D=Q:\\no\\such\\drive" 2>&1 >/dev/null)
expect_eq "interactive install into a folder on a missing drive: exit code 2" 2 $?
expect_eq "... one message box" 1 "$(grep -ac 'Call user32.MessageBoxIndirectW' <<<"$trace")"
if [ "$relay" == absent ]; then
  wine reg delete 'HKCU\Software\Wine\Debug' /v RelayInclude /f >/dev/null 2>&1
else
  wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d "${relay#REG_SZ|}" /f >/dev/null 2>&1
fi
expect_eq "... no service" absent "$(service_state)"
rm -f "$drive_c/kvx-file" "$WINEPREFIX/dosdevices/r:" "$WINEPREFIX/dosdevices/k:"
rm -rf "$drive_k"

# --- A service that does not run: its configuration points the lists to a
# folder without them, so its capture fails at start and it stops by itself.
folder='C:\kvx no lists'
dir=$(unix_path "$folder")
wine reg add "$config_key" /v error_log_list_path /t REG_SZ /d 'C:\kvx-nowhere' /f >/dev/null 2>&1
run_setup "$folder"
expect_eq "install whose service does not run: exit code 8" 8 $?
expect_eq "... the service is registered, STOPPED" 1 "$(service_state)"
expect_eq "... the files and the entry stay for a second attempt or the uninstaller" \
  "REG_SZ|$folder yes" "$(reg_value "$uninstall_key" kvxTgDir) $([ -f "$dir/hbalogd/hbalogd.exe" ] && echo yes)"
run_uninstaller "$folder"
expect_eq "... then removed: exit code 0" 0 $?
expect_eq "... no service" absent "$(service_state)"
rm -rf "$dir"

unregister_hbalogd
finish

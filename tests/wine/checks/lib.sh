# Shared by the Wine checks: the paths of the Windows build, wrappers around
# Wine's tools, and the assertions. A check sources this file, asserts with
# expect_*, and ends with `finish`, which fails the check when any assertion
# did not hold. The first assertion that does not hold also prints the state
# of the prefix (show_state). Every check leaves the prefix as it found it:
# hbalogd not registered, no configuration key, no files of its own.
set -uo pipefail # no -e: one failed assertion must not hide the next ones

: "${WINEPREFIX:?run the Wine checks through scripts/wine-test}"
: "${KVX_WINE_TRACE:?run the Wine checks through scripts/wine-test}"
: "${KVX_WIN_BUILD:?}" "${KVX_WINE_PROBES:?}" "${KVX_SOURCE_DIR:?}"
source "$(dirname "${BASH_SOURCE[0]}")/wine_start.sh"

hbalogd=$KVX_WIN_BUILD/logd/host/hbalogd.exe
kvxls=$KVX_WIN_BUILD/listtool/kvxls.exe
hbautil=$KVX_WIN_BUILD/paramutil/hbautil.exe
kvxservice=$KVX_WIN_BUILD/installhooks/KVXService.dll
kvxhook=$KVX_WIN_BUILD/installhooks/kvxhook.exe
regprobe=$KVX_WINE_PROBES/regprobe.exe
fake_hbalogd=$KVX_WINE_PROBES/fake_hbalogd.exe
drive_c=$WINEPREFIX/drive_c

appid='{7A3E91C2-4B5D-4F60-9E21-5C8D0B6A4F17}'
typelib='{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}'
config_key='HKLM\SOFTWARE\Velmora\kvxwdd\hbalogd'
service_key='HKLM\SYSTEM\CurrentControlSet\Services\hbalogd'
event_source_key='HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\Application\Hbalogd'
# hbalogd's own path as Wine names it (drive Z: is the root of the file system).
hbalogd_windows_path="Z:${hbalogd//\//\\}"

# hbalogd's log folder in its default configuration; a check that configures
# another sets log_dir.
default_log_dir="$drive_c/Program Files/velmora/drivers/hba/hbalogd/log"

# Where a check keeps the standard error of the program it ran last, when it
# keeps it: show_state prints its end.
run_errors=$WINEPREFIX/last-run-errors.txt
rm -f "$run_errors"

held=0
failed=0

pass() {
  held=$((held + 1))
  echo "ok: $1"
}
fail() {
  failed=$((failed + 1))
  echo "FAILED: $1"
  shift
  local line
  for line in "$@"; do echo "    $line"; done
  if [ "$failed" -eq 1 ]; then show_state; fi
}

expect_eq() { # what expected actual
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1" "expected: $(printf '%q' "$2")" "actual:   $(printf '%q' "$3")"; fi
}
expect_contains() { # what needle haystack
  if [[ "$3" == *"$2"* ]]; then pass "$1"; else fail "$1" "missing: $2" "in: $3"; fi
}
expect_lacks() { # what needle haystack
  if [[ "$3" != *"$2"* ]]; then pass "$1"; else fail "$1" "unexpected: $2" "in: $3"; fi
}
expect_match() { # what regex actual
  if [[ "$3" =~ $2 ]]; then pass "$1"; else fail "$1" "no match for: $2" "actual: $3"; fi
}

finish() {
  echo "$held assertions held, $failed did not"
  [ "$failed" -eq 0 ]
}

# What it takes to find the cause of a failed assertion: the service's state,
# what it reported since the check began, the stand-in driver's status and
# the log folder's listing, as they are at the failure.
show_state() {
  local dir=${log_dir:-$default_log_dir}
  echo "---- the state at the first failed assertion"
  echo "service hbalogd: state $(service_state), exit code $(service_exit_code)"
  echo "reports of the service since the check began:"
  service_reports_since "$check_mark" | sed 's/^/    /'
  if winetool sc query kvxstand | grep -q 'STATE.*RUNNING'; then
    echo "stand-in driver:"
    standin status | sed 's/^/    /'
  else
    echo "stand-in driver: not running"
  fi
  echo "log folder $dir:"
  ls -l --time-style=+%T "$dir" 2>&1 | sed 's/^/    /'
  if [ -s "$run_errors" ]; then
    echo "standard error of the last program run by the check (run_errors):"
    grep -av ':fixme:' "$run_errors" | tail -n 40 | cut -c1-300 | sed 's/^/    /'
  fi
  echo "----"
}

# Wine's console tools end their lines with CR LF; the checks compare text.
winetool() { wine "$@" 2>/dev/null | tr -d '\r'; }

# "TYPE|DATA" of one value as reg.exe shows it, or "absent". NAME "" is the
# key's default value.
reg_value() { # KEY NAME
  local out
  if [ -z "$2" ]; then out=$(winetool reg query "$1" /ve) || { echo absent; return; }; else
    out=$(winetool reg query "$1" /v "$2") || { echo absent; return; }
  fi
  # reg.exe separates name, type and data by four blanks.
  printf '%s\n' "$out" | awk -F '    ' -v n="${2:-(Default)}" '$2 == n { print $3 "|" $4; found = 1 } END { if (!found) print "absent" }'
}

key_exists() { wine reg query "$1" >/dev/null 2>&1; }

# One value of a check's set-up, asserted to be in place before it is relied on.
reg_set() { # KEY NAME TYPE DATA
  wine reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1
  expect_eq "set-up: $2 ($3) written under $1" 0 $?
}

# The names of the values and subkeys directly under KEY, one a line, sorted.
key_listing() {
  # reg.exe names the key itself (when it has values) by its full hive name,
  # then its values, then its subkeys.
  # (The path goes through the environment: awk -v would read its backslashes
  # as escapes.)
  winetool reg query "$1" | key_path="\\${1#*\\}" awk -F '    ' '
    BEGIN { path = ENVIRON["key_path"] }
    NF >= 4 { print $2; next }
    /^HKEY/ && toupper(substr($0, length($0) - length(path) + 1)) != toupper(path) { sub(/.*\\/, ""); print }' | sort
}

# "TYPE SIZE HEX" of a value as stored, wide view (regprobe get).
stored_bytes() { wine "$regprobe" get "$1" "$2" 2>/dev/null | tr -d '\r'; }

# The hex of TEXT as Wine stores a REG_SZ: UTF-16LE, without the NUL.
utf16_hex() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -d ' \n'; }

# The service's state as sc.exe reports it: 1 STOPPED, 2 START_PENDING,
# 3 STOP_PENDING, 4 RUNNING; "absent" when the service does not exist.
service_state() {
  winetool sc query hbalogd | awk '/STATE/ { print $3; found = 1 } END { if (!found) print "absent" }'
}
service_exit_code() { winetool sc query hbalogd | awk '/WIN32_EXIT_CODE/ { print $3 }'; }

# Waits up to SECONDS for STATE; prints the state it ended on.
wait_for_state() { # STATE SECONDS
  local deadline=$((SECONDS + $2)) state
  while :; do
    state=$(service_state)
    if [ "$state" == "$1" ] || [ $SECONDS -ge $deadline ]; then break; fi
    sleep 0.2
  done
  echo "$state"
}

# The event reports in the services' trace: "TYPE TEXT" a line, TYPE being
# Wine's class for the event type (err 1, warn 2, trace 4). `trace_mark`
# gives the position to read from.
trace_mark() { stat -c %s "$KVX_WINE_TRACE"; }
event_reports() { # TRACE_TEXT on standard input
  tr -d '\r' | sed -n 's/^[0-9a-f]*:\([a-z]*\):eventlog:ReportEventW L"\(.*\)"$/\1 \2/p' |
    sed 's/\\\\/\x01/g; s/\\"/"/g; s/\x01/\\/g'
}
service_reports_since() { tail -c +$(($1 + 1)) "$KVX_WINE_TRACE" | event_reports; }
check_mark=$(trace_mark)

# hbalogd registered as a service (hbalogd /Service), asserted.
register_hbalogd() {
  wine "$hbalogd" /Service >/dev/null 2>&1
  expect_eq "set-up: hbalogd /Service registers the service, stopped" 1 "$(service_state)"
}

# hbalogd as the installer would leave it removed again, whatever a check did.
unregister_hbalogd() {
  wine "$hbalogd" /UnregServer >/dev/null 2>&1
  wine reg delete "$event_source_key" /f >/dev/null 2>&1
  wine reg delete 'HKLM\SOFTWARE\Velmora' /f >/dev/null 2>&1
  true
}

# The stand-in for the kvxwdd driver (simulator/standin): kvxstand.sys serves
# \\.\scsiN: in the prefix, kvxstand.exe configures it from a kvxsim
# configuration file. The driver is loaded once and lives as long as the wine
# server; `standin_start` replaces whatever adapters it served before.
kvxstand=$KVX_WIN_BUILD/simulator/standin/kvxstand.exe
kvxstand_sys=$KVX_WIN_BUILD/simulator/standin/kvxstand.sys
standin_data=$KVX_SOURCE_DIR/tests/data/standin
standin_dir=$drive_c/kvx-standin

standin() { wine "$kvxstand" "$@" 2>&1 | tr -d '\r'; }

standin_start() { # CONFIG_FILE
  if ! winetool sc query kvxstand | grep -q 'STATE.*RUNNING'; then
    cp "$kvxstand_sys" "$drive_c/windows/system32/drivers/kvxstand.sys"
    wine sc create kvxstand type= kernel start= demand binPath= 'C:\windows\system32\drivers\kvxstand.sys' >/dev/null 2>&1
    wine sc start kvxstand >/dev/null 2>&1
  fi
  mkdir -p "$standin_dir"
  cp "$1" "$standin_dir/adapters.ini"
  standin start --config 'C:\kvx-standin\adapters.ini'
}

# The stand-in serves nothing and its files are gone; the driver stays loaded.
standin_stop() {
  standin stop >/dev/null
  rm -rf "$standin_dir"
}

# The occupied slots of PORT as `kvxstand status` shows them ("none", "4", "1 9").
standin_slots() { # PORT
  standin status | sed -n "s/^port $1: .*occupied slots: \([^,]*\),.*/\1/p"
}
# A number from PORT's status line, e.g. "exchanges", "busy answers left".
standin_field() { # PORT FIELD
  standin status | sed -n "s/^port $1: .*$2: \([0-9]*\).*/\1/p"
}

# One step of a check's set-up at the stand-in, asserted to have taken effect:
# the tool succeeds without a word, and its status shows the change.
#   standin_step fill --port N --slot S | busy --port N --count C | unplug --port N | plug --port N
standin_step() {
  local out rc port=$3 status
  out=$(standin "$@")
  rc=$?
  status=$(standin status | grep "^port $port: ")
  case $1 in
    fill) [[ "${status#*occupied slots:}" =~ (^| )$5(,| ) ]] ;;
    busy) [[ "$status" == *", busy answers left: $5,"* ]] ;;
    unplug) [[ "$status" == *", unplugged,"* ]] ;;
    plug) [[ "$status" == *", plugged,"* ]] ;;
    *) false ;;
  esac
  local shown=$?
  if [ $rc -eq 0 ] && [ -z "$out" ] && [ $shown -eq 0 ]; then pass "kvxstand $*: done"; else
    fail "kvxstand $*: done" "exit status $rc, output: $out" "status: $status"
  fi
}

# Polls COMMAND until it succeeds or SECONDS pass; the status of its last run.
wait_until() { # SECONDS COMMAND...
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.5
  done
}

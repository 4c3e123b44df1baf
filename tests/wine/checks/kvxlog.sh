# kvxlog.exe and kvxls.exe -json under Wine: the simulated host's output for
# the same files (tests/data/kvxlog, read from C:\kvxdata) and the same
# adapters (tests/data/standin/kvxls.ini behind the stand-in driver), with
# CR LF line ends; the log files opened with every share mode, so that a
# writer is never kept out; -follow seeing a file rewritten and a file added
# while it runs.
source "$(dirname "$0")/lib.sh"

kvxlog=$KVX_WIN_BUILD/kvxlog/kvxlog.exe
data=$KVX_SOURCE_DIR/tests/data/kvxlog
folder=$drive_c/kvxdata
work=$drive_c/kvxwork
rm -rf "$folder" "$work"
mkdir -p "$folder" "$work"
cp "$data"/*.log "$folder"/

# The file's bytes with CR LF as LF, and an x that keeps the last line ends in $( ).
as_unix() { tr -d '\r' <"$1"; echo x; }
golden() { cat "$1"; echo x; }

for form in text -summary -json; do
  case $form in
    text) args=() golden_file=kvxlog.txt ;;
    -summary) args=(-summary) golden_file=kvxlog-summary.txt ;;
    -json) args=(-json) golden_file=kvxlog.jsonl ;;
  esac
  wine "$kvxlog" -folder 'C:\kvxdata' "${args[@]}" >"$work/out" 2>"$work/err"
  expect_eq "kvxlog.exe $form: exit code 0" 0 $?
  expect_eq "kvxlog.exe $form: standard output as on the simulated host" "$(golden "$data/$golden_file")" \
    "$(as_unix "$work/out")"
  expect_eq "kvxlog.exe $form: the platform's line ends" "$(wc -l <"$data/$golden_file")" \
    "$(grep -c $'\r''$' "$work/out")"
  expect_eq "kvxlog.exe $form: nothing on standard error" "" "$(cat "$work/err")"
done

# With no file named: the folder of hbalogd's configuration.
wine reg add "$config_key" /v error_log_file_path /t REG_SZ /d 'C:\kvxdata' /f >/dev/null 2>&1
wine "$kvxlog" /SUMMARY >"$work/out" 2>"$work/err"
expect_eq "the configured folder: exit code 0" 0 $?
expect_eq "the configured folder: its files" "$(golden "$data/kvxlog-summary.txt")" "$(as_unix "$work/out")"
wine reg delete "$config_key" /f >/dev/null 2>&1
wine "$kvxlog" -Summary >"$work/out" 2>"$work/err"
expect_eq "no configuration: the default folder, which has no log file: exit code 2" 2 $?
expect_eq "... said on standard error" \
  'kvxlog: no such folder C:\Program Files\velmora\drivers\hba\hbalogd\log' "$(tr -d '\r' <"$work/err")"
wine "$kvxlog" -nosuch >"$work/out" 2>"$work/err"
expect_eq "a bad switch: exit code 1" 1 $?

# Every share mode on every open of a log file.
opens=$(WINEDEBUG=-all,+file wine "$kvxlog" -summary 'C:\kvxdata\kvx0208.log' 2>&1 >/dev/null | tr -d '\r' |
  grep 'CreateFileW L"C:\\\\kvxdata\\\\kvx0208.log"')
expect_contains "the log file is opened for reading" "GENERIC_READ" "$opens"
expect_contains "... sharing read, write and delete" "FILE_SHARE_READ FILE_SHARE_WRITE FILE_SHARE_DELETE" "$opens"
expect_lacks "... and never for writing" "GENERIC_WRITE" "$opens"

# -follow: kvx0208.log rewritten with a second entry (by cmd's copy, which
# opens it for writing while kvxlog.exe follows it), then a new file.
entry=$work/entry
tail -c +17 "$folder/kvx0208.log" | head -c -18 >"$entry"
length=$(stat -c %s "$entry")
{
  printf '%4d %9d\r\n' 2 $((16 + 2 * length))
  cat "$entry"
  sed 's/OPTION DATA:        20261207 140230/OPTION DATA:        20261207 140231/' "$entry"
  printf -- '--- end of log ---'
} >"$work/grown.log"
# Read while it runs: started without the checks' new start (lib.sh).
command wine "$kvxlog" -follow -summary -folder 'C:\kvxdata' >"$work/follow" 2>"$work/follow.err" &
follower=$!
lines_of() { tr -d '\r' <"$work/follow" | wc -l; }
wait_lines() { # N
  local i
  for i in $(seq 300); do [ "$(lines_of)" -ge "$1" ] && return 0; sleep 0.1; done
  return 1
}
wait_lines 70
expect_eq "-follow: the entries there are first" 70 "$(lines_of)"
wine cmd /c copy /y 'C:\kvxwork\grown.log' 'C:\kvxdata\kvx0208.log' >/dev/null 2>&1
expect_eq "the file is written while kvxlog.exe follows it" "$(cat "$work/grown.log"; echo x)" \
  "$(cat "$folder/kvx0208.log"; echo x)"
wait_lines 71
expect_eq "-follow: the new entry, once" "2026-12-07 14:02:31 0208 ------ UNKNOWN UNKNOWN detail" \
  "$(tr -d '\r' <"$work/follow" | sed -n '71,$p')"
cp "$folder/kvx0510.log" "$work/kvx0511.log"
wine cmd /c copy /y 'C:\kvxwork\kvx0511.log' 'C:\kvxdata\kvx0511.log' >/dev/null 2>&1
wait_lines 72
expect_eq "-follow: a new file's entry" "2026-12-07 14:02:30 0510 ------ UNKNOWN UNKNOWN detail" \
  "$(tr -d '\r' <"$work/follow" | sed -n '72,$p')"
kill "$follower" 2>/dev/null
wait "$follower" 2>/dev/null
expect_eq "-follow: nothing on standard error" "" "$(cat "$work/follow.err")"

# kvxls.exe -json: the simulated host's document for the same adapters, the
# failed requests with the system's own texts (Wine's words for 87 and 170,
# and a text for 1234 where the simulated host's table has none).
expect_eq "the stand-in serves the adapters" "kvxstand: serving 8 adapters" \
  "$(standin_start "$standin_data/kvxls.ini")"
expect_eq "port 5 unplugged" "" "$(standin unplug --port 5)"
wine "$kvxls" /Json >"$work/out" 2>"$work/err"
expect_eq "kvxls.exe -json: exit code 0" 0 $?
expect_eq "kvxls.exe -json: the simulated host's document" \
  "$(sed -e 's/"The parameter is incorrect\."/"Invalid parameter."/' \
    -e 's/"The requested resource is in use\."/"Resource in use."/' \
    -e '/"error_code": 1234,/{n;s/"error_text": null/"error_text": "Port unreachable."/}' \
    "$standin_data/kvxls.json"; echo x)" "$(as_unix "$work/out")"
expect_eq "kvxls.exe -json: nothing on standard error" "" "$(cat "$work/err")"
standin_stop

rm -rf "$folder" "$work"
finish

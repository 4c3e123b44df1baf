# hbalogd.exe as a service against the stand-in driver: Windows' device and
# log-file paths for real. DeviceIoControl on shared and exclusive handles,
# busy answers, refused slot releases, the log files written with binary
# opens, seeks and CR LF, the startup scan, the retry thread on its real
# 60-second cycle, an adapter unplugged, and kvxls run while slots drain.
# The adapters are those of tests/data/standin/capture.ini; the log files must
# equal the ones the simulated host writes for the same scenario (its twin in
# tests/e2e_capture keeps them there), the time of writing aside. Reading
# driver records from the System log stays proved on the simulated host: Wine's
# event log keeps none.
source "$(dirname "$0")/lib.sh"

install_dir="$drive_c/Program Files/velmora/drivers/hba/hbalogd"
log_dir=$install_dir/log
scratch=$WINEPREFIX/capture-check

# A log file with every time of writing replaced, as the golden files have it.
masked_log() { sed -E 's/^(OPTION DATA: {8})[0-9]{8} [0-9]{6} [0-9]{3}\r$/\1<written>\r/' "$1"; }
expect_golden_log() { # NAME
  masked_log "$log_dir/$1" >"$scratch/$1"
  if cmp -s "$scratch/$1" "$standin_data/$1"; then pass "$1 as on the simulated host"; else
    fail "$1 as on the simulated host" "$(diff <(tr -d '\r' <"$standin_data/$1") <(tr -d '\r' <"$scratch/$1") | head -20)"
  fi
}
entries_in() { grep -c -- '^---- KVXWDD LOG #' "$log_dir/$1" 2>/dev/null; }
reports() { service_reports_since "$mark"; }

unregister_hbalogd
mkdir -p "$log_dir" "$scratch"
cp "$KVX_SOURCE_DIR"/logd/output/lists/errorlog_list.txt "$KVX_SOURCE_DIR"/logd/output/lists/errorlevel_list.txt "$install_dir/"
register_hbalogd
# As the twin configures it: a busy answer is tried again a second later, a
# dump shows the first 64 bytes of its slot. Up to 60 tries (the twin makes
# 10): port 6 is held while kvxls runs, which takes Wine a while on a busy
# machine, and hbalogd must still be trying when the hold ends. The entries
# do not show the tries.
for setting in max_retry_count=60 retry_frequency=1 error_log_size=64; do
  reg_set "$config_key" "${setting%=*}" REG_DWORD "${setting#*=}"
done
expect_eq "the stand-in serves the adapters" "kvxstand: serving 4 adapters" \
  "$(standin_start "$standin_data/capture.ini")"
standin_step fill --port 2 --slot 4
standin_step busy --port 2 --count 1
standin_step fill --port 6 --slot 1
standin_step fill --port 7 --slot 0
expect_eq "slots occupied before the start" "4|none|1|0" \
  "$(standin_slots 2)|$(standin_slots 5)|$(standin_slots 6)|$(standin_slots 7)"

mark=$(trace_mark)
day_before=$(date +%Y%m%d)
winetool net start hbalogd >/dev/null
expect_eq "net start succeeds" 0 $?
expect_eq "the service reaches RUNNING" 4 "$(wait_for_state 4 20)"

# The startup scan: ports 2 and 7 drained and their slots handed back; port
# 6's slot logged again and again, since the driver refuses its release,
# until the drain's limit.
startup_done() {
  [ "$(standin_slots 2)" == none ] && [ "$(standin_slots 7)" == none ] &&
    [[ "$(reports)" == *"scsi6 is still occupied after 64 entries."* ]]
}
wait_until 60 startup_done
expect_eq "startup scan: slots of ports 2 and 7 released, port 6's kept" "none|none|1" \
  "$(standin_slots 2)|$(standin_slots 7)|$(standin_slots 6)"
expect_contains "startup scan: the drain limit reported for port 6" \
  'warn Detail data of \\.\scsi6 is still occupied after 64 entries.' "$(reports)"
# PCI_LOCATION busy, then again; ERRLOG, versions, port names, SLOT_RELEASE, ERRLOG.
expect_eq "port 2's busy answer was taken and the request made again: seven exchanges, as on the simulated host" \
  "0 7" "$(standin_field 2 'busy answers left') $(standin_field 2 exchanges)"
for name in kvx0208.log kvx0618.log kvx0720.log; do expect_golden_log $name; done
written=$(sed -n 's/^OPTION DATA: \{8\}\([0-9]\{8\}\) [0-9]\{6\} [0-9]\{3\}\r$/\1/p' "$log_dir/kvx0208.log")
expect_match "the time of writing is the local date (localtime_s)" "^($day_before|$(date +%Y%m%d))$" "$written"
startup_exchanges=$(standin_field 6 exchanges)
port5_exchanges=$(standin_field 5 exchanges)

# While the service runs: port 7 goes, port 5 gets a slot with no record. The
# retry thread finds it at its first pass and drains it at the second, a
# minute later.
standin_step unplug --port 7
standin_step fill --port 5 --slot 9
# Port 5 untouched since the startup scan: the retry thread's first pass sees
# its slot occupied, and so does the second.
expect_eq "the slot filled before the retry thread's first pass asked port 5" "$port5_exchanges" \
  "$(standin_field 5 exchanges)"
# Between the two passes another program (kvxstand hold, as kvxls would) opens
# port 6 shared and keeps it open until hbalogd's exclusive open of the second
# pass has been refused, while kvxls lists the adapters. hbalogd must try
# again (as after a busy answer) and lose nothing: the second pass drains port
# 6 to the limit once more, and port 5 too.
first_pass() { [ "$(standin_field 6 exchanges)" -gt "$startup_exchanges" ]; }
wait_until 90 first_pass
expect_eq "the retry thread's first pass comes" 0 $?
# ... and has closed port 6 again: a device it holds exclusively opens to no one.
port6_closed() { standin status | grep -q "^port 6: .*open handles: 0 shared, 0 exclusive,"; }
wait_until 30 port6_closed
expect_eq "the first pass has closed port 6" 0 $?
# Read while it runs: started without the checks' new start (lib.sh).
command wine "$kvxstand" hold --port 6 --until 'C:\kvx-standin\release' >"$scratch/hold.out" 2>&1 &
holder=$!
holding() { grep -q holding "$scratch/hold.out"; }
wait_until 30 holding
expect_eq "port 6 held open by another program" 'kvxstand: holding \\.\scsi6:' "$(tr -d '\r' <"$scratch/hold.out")"
expect_eq "... the stand-in counts its shared handle" 1 "$(standin_field 6 'open handles')"
refused() { [ "$(standin_field 6 'refused opens')" -gt 0 ]; }
wait_until 120 refused
expect_eq "the second pass meets the held device: its exclusive open is refused" 0 $?
wine "$kvxls" >"$scratch/kvxls.out" 2>"$scratch/kvxls.err"
expect_eq "kvxls meanwhile: exit code 0" 0 $?
expect_eq "kvxls meanwhile: ports 2, 5 and 6 listed (7 is unplugged)" "scsi2 scsi5 scsi6 " \
  "$(sed -n 's/^--- Device symbolic name *: \(scsi[0-9]*\)\r$/\1/p' "$scratch/kvxls.out" | tr '\n' ' ')"
expect_eq "kvxls meanwhile: nothing on standard error" "" "$(cat "$scratch/kvxls.err")"
touch "$standin_dir/release"
wait "$holder"
# The third pass is a minute away: what is drained within 45 s is the second
# pass's work (up to ten tries a second apart, then the drains themselves).
drains_done() { [ "$(standin_slots 5)" == none ] && [ "$(entries_in kvx0618.log)" -ge 128 ]; }
wait_until 45 drains_done
expect_eq "port 5's slot drained and released by the retry thread" none "$(standin_slots 5)"
expect_golden_log kvx0510.log
expect_eq "port 6 drained to the limit again by the second pass, after its refused open" 128 "$(entries_in kvx0618.log)"
expect_eq "... every entry with its refused release" 128 "$(grep -c '^OPTION DATA:        FELM01' "$log_dir/kvx0618.log")"
expect_eq "... and the header counts them" " 128" "$(head -c 4 "$log_dir/kvx0618.log")"
expect_eq "the unplugged port's log is left as it was" "$(cat "$standin_data/kvx0720.log")" \
  "$(masked_log "$log_dir/kvx0720.log")"
expect_eq "no handle is left open" 0 "$(standin status | grep -c -v 'open handles: 0 shared, 0 exclusive')"
expect_eq "the service is still running" 4 "$(service_state)"

out=$(winetool net stop hbalogd)
expect_eq "net stop succeeds" 0 $?
expect_eq "the service is STOPPED" 1 "$(wait_for_state 1 20)"
expect_eq "... with exit code 0" 0 "$(service_exit_code)"
stopped_reported() { [[ "$(reports)" == *"trace Service stopped" ]]; }
wait_until 10 stopped_reported
expect_eq "last event: Service stopped" "trace Service stopped" "$(reports | tail -n 1)"
expect_lacks "no error reported" $'\n''err ' $'\n'"$(reports)"

unregister_hbalogd
standin_stop
rm -rf "$drive_c/Program Files/velmora" "$scratch"
finish

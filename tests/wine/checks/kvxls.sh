# kvxls.exe under Wine: the listing with no port map entry for kvxwdd, and with
# entries whose devices do not open. Wine has no kvxwdd driver behind
# \\.\scsiN:, so adapter blocks and the driver's replies are proved on the
# simulated host instead (tests/adapter, tests/simulator: kvxls against kvxsim).
source "$(dirname "$0")/lib.sh"

scsi_map='HKLM\HARDWARE\DEVICEMAP\Scsi'
# The listing's end as the file holds it (CR LF), with the x that
# `with_end_mark` adds so that $( ) keeps the trailing line ends.
end_of_list=$'\r\n-------- end of list --------\r\nx'
with_end_mark() { cat "$1"; echo x; }
# The banner text after the version is free; the two blanks around it are not.
banner_pattern='^kvxls ver\. 1\.16  .+  '$'\r''$'

# The banner line, then the end-of-list line, and nothing on the error stream.
expect_empty_listing() { # WHAT ARGS...
  local what=$1 status banner
  shift
  wine "$kvxls" "$@" >"$WINEPREFIX/kvxls.out" 2>"$WINEPREFIX/kvxls.err"
  status=$?
  banner=$(head -n 1 "$WINEPREFIX/kvxls.out")
  expect_eq "$what: exit code 0" 0 "$status"
  expect_match "$what: the banner line" "$banner_pattern" "$banner"
  expect_eq "$what: banner, then the end-of-list line, nothing else" "$banner"$'\n'"$end_of_list" \
    "$(with_end_mark "$WINEPREFIX/kvxls.out")"
  expect_eq "$what: nothing on standard error" "" "$(cat "$WINEPREFIX/kvxls.err")"
}

# Ports whose device kvxls tried to open, from Wine's file trace.
opened_ports() {
  WINEDEBUG=-all,+file wine "$kvxls" 2>&1 >/dev/null | tr -d '\r' |
    sed -n 's/^[0-9a-f]*:trace:file:CreateFileW L"\\\\\\\\\.\\\\\(scsi[0-9]*\):".*/\1/p' | sort -u | tr '\n' ' '
}

expect_empty_listing "no port map entry"
expect_empty_listing "no port map entry, -DN" -DN
expect_eq "no port map entry: no device is opened" "" "$(opened_ports)"

# HARDWARE is volatile: reg.exe cannot create keys below it, regprobe can.
wine "$regprobe" volatile "$scsi_map\\Scsi Port 2" Driver kvxwdd
wine "$regprobe" volatile "$scsi_map\\Scsi Port 3" Driver KVXWDD
wine "$regprobe" volatile "$scsi_map\\Scsi Port 5" Driver kvxwdd2
wine "$regprobe" volatile "$scsi_map\\Scsi Port 127" Driver kvxwdd
wine "$regprobe" volatile "$scsi_map\\Scsi Port 128" Driver kvxwdd
expect_eq "port map entries written" "REG_SZ|kvxwdd" "$(reg_value "$scsi_map\\Scsi Port 2" Driver)"

expect_empty_listing "entries whose device does not open"
expect_empty_listing "entries whose device does not open, -DN" -DN
# Only the exact, case-sensitive name within 0 to 127 is an adapter; its
# device is then tried and, not opening, leaves no output.
expect_eq "kvxwdd on ports 2 and 127 are probed and opened; KVXWDD, kvxwdd2 and port 128 are not" \
  "scsi127 scsi2 " "$(opened_ports)"

rm -f "$WINEPREFIX/kvxls.out" "$WINEPREFIX/kvxls.err"
for port in 2 3 5 127 128; do wine reg delete "$scsi_map\\Scsi Port $port" /f >/dev/null 2>&1; done

# The adapters of tests/data/standin/kvxls.ini behind the stand-in driver,
# port 5 unplugged: DeviceIoControl, QueryDosDeviceA and FormatMessageA for
# real. Standard output is the simulated host's (kvxls.out, kvxls-DN.out),
# with CR LF. Standard error differs where Windows does: the texts are the
# system's own (Wine's words for 87 and 170, and a text for 1234 where the
# simulated host's table has none, hence its "Error 317."), and each ends
# with the system's CR LF, which the text-mode stream writes as CR CR LF.
expect_eq "the stand-in serves the adapters" "kvxstand: serving 8 adapters" \
  "$(standin_start "$standin_data/kvxls.ini")"
standin_step unplug --port 5
expect_eq "port map entry of port 9 written by the stand-in" "REG_SZ|kvxwdd" "$(reg_value "$scsi_map\\Scsi Port 9" Driver)"
windows_texts() {
  sed -e 's/^: The parameter is incorrect\.$/: Invalid parameter./' -e 's/^: Error 317\.$/: Port unreachable./' \
    -e 's/^: The requested resource is in use\.$/: Resource in use./' -e 's/^\(: .*\)$/\1\r\r/' \
    -e 's/^\(DeviceIoControl.*\)$/\1\r/' "$1"
  echo x
}
for mode in plain -DN; do
  args=()
  golden=$standin_data/kvxls.out
  if [ $mode == -DN ]; then args=(-DN) && golden=$standin_data/kvxls-DN.out; fi
  wine "$kvxls" "${args[@]}" >"$WINEPREFIX/kvxls.out" 2>"$WINEPREFIX/kvxls.err"
  expect_eq "stand-in, $mode: exit code 0" 0 $?
  expect_eq "stand-in, $mode: standard output as on the simulated host, CR LF line ends" \
    "$(sed 's/$/\r/' "$golden"; echo x)" "$(with_end_mark "$WINEPREFIX/kvxls.out")"
  expect_eq "stand-in, $mode: the failed requests reported with the system's texts" \
    "$(windows_texts "$standin_data/kvxls.err")" "$(with_end_mark "$WINEPREFIX/kvxls.err")"
done
# Every exchange was answered once; no handle is left open.
expect_eq "stand-in: port 2 answered two listings of seven requests (as on the simulated host), no handle open" \
  "port 2: location 0301, plugged, open handles: 0 shared, 0 exclusive, busy answers left: 0, exchanges: 14, occupied slots: none, refused opens: 0" \
  "$(standin status | grep '^port 2:')"
# kvxstand fail: from now on port 2 refuses the versions request, with
# ERROR_GEN_FAILURE; its block stops there and the report names the request.
expect_eq "port 2 told to refuse the versions request" "" "$(standin fail --port 2 --requests versions:31)"
wine "$kvxls" >"$WINEPREFIX/kvxls.out" 2>"$WINEPREFIX/kvxls.err"
expect_eq "a refusal made while the stand-in runs: port 2's block ends after its first line" \
  "--- Device symbolic name           : scsi2" "$(tr -d '\r' <"$WINEPREFIX/kvxls.out" | grep -A 1 'name *: scsi2$')"
expect_eq "... and the versions request is reported twice now (ports 0 and 2)" 2 \
  "$(grep -c '^DeviceIoControl(1) error. RtnLen=0'$'\r''$' "$WINEPREFIX/kvxls.err")"
# Port 5 plugged back in: listed again, with the stand-in's defaults.
standin_step plug --port 5
expect_eq "port 5 listed again" "--- Device symbolic name           : scsi5|    World wide port name           : 20000000 00000501" \
  "$(wine "$kvxls" 2>/dev/null | tr -d '\r' | grep -A 10 'name *: scsi5$' | sed -n '1p;9p' | paste -sd '|')"
standin_stop
expect_eq "the stand-in's port map entries are gone with it" absent "$(reg_value "$scsi_map\\Scsi Port 9" Driver)"

rm -f "$WINEPREFIX/kvxls.out" "$WINEPREFIX/kvxls.err"
finish

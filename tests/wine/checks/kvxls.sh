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
finish

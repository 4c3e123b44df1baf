# hbautil.exe under Wine: whole sessions through standard input against Wine's
# registry. The sessions and their console transcripts are those of the
# simulated-host tests (tests/data/paramutil); under Windows every line end of
# the transcript is CR LF. The values are read back with reg.exe, their stored
# bytes with regprobe, and the byte count hbautil passed with a +relay trace
# of RegSetValueExA. Seeded values are stored without a terminating NUL, as
# the driver's own tools may leave them.
source "$(dirname "$0")/lib.sh"

driver_key='HKLM\SYSTEM\CurrentControlSet\Services\kvxwdd'
device_key="$driver_key\\Parameters\\Device"
sessions=$KVX_SOURCE_DIR/tests/data/paramutil

fresh_registry() { wine reg delete "$driver_key" /f >/dev/null 2>&1; }
installed() { wine reg add "$driver_key" /f >/dev/null 2>&1; }
seed() { # NAME TEXT: REG_SZ without its NUL
  wine "$regprobe" set "$device_key" "$1" 1 "$(utf16_hex "$2")"
}

# Runs one session and checks its transcript; leaves its exit code in
# $status and its relay trace in $session_trace.
run_session() { # NAME
  WINEDEBUG=-all,+relay wine "$hbautil" <"$sessions/$1.in" >"$WINEPREFIX/hbautil.out" 2>"$WINEPREFIX/hbautil.trace"
  status=$?
  session_trace=$(tr -d '\r' <"$WINEPREFIX/hbautil.trace")
  sed 's/$/\r/' "$sessions/$1.out" >"$WINEPREFIX/hbautil.expected"
  if cmp -s "$WINEPREFIX/hbautil.expected" "$WINEPREFIX/hbautil.out"; then pass "$1: the transcript, byte for byte"; else
    fail "$1: the transcript, byte for byte" "$(diff <(tr -d '\r' <"$WINEPREFIX/hbautil.out") "$sessions/$1.out" | head -n 8)"
  fi
}

# The value as reg.exe reads it, as it is stored, and the count hbautil's last
# write of it passed: the text's length without a NUL, or 1 for the empty text.
expect_written() { # SESSION NAME TEXT
  local count
  expect_eq "$1: $2 read back by reg.exe" "REG_SZ|$3" "$(reg_value "$device_key" "$2")"
  count=$(sed -n "s/.*Call advapi32\\.RegSetValueExA([0-9a-f]*,[0-9a-f]* \"$2\",00000000,00000001,[0-9a-f]*,\\([0-9a-f]*\\)).*/\\1/p" \
    <<<"$session_trace" | tail -n 1)
  expect_eq "$1: $2 written with the count of its text, no NUL" "$((${#3} > 0 ? ${#3} : 1))" "$((16#${count:-0}))"
  # RegSetValueExA, like Windows', counts the NUL in when the byte after the
  # data is one: what is stored ends in a NUL all the same.
  expect_eq "$1: $2 as stored" "1 $((2 * ${#3} + 2)) $(utf16_hex "$3")0000" "$(stored_bytes "$device_key" "$2")"
}
expect_kept() { # SESSION NAME TEXT: seeded, not written
  expect_eq "$1: $2 kept as seeded, without a NUL" "1 $((2 * ${#3})) $(utf16_hex "$3")" \
    "$(stored_bytes "$device_key" "$2")"
}
expect_absent() { # SESSION NAME
  expect_eq "$1: $2 absent" absent "$(reg_value "$device_key" "$2")"
}

fresh_registry
installed
run_session global_set_order
expect_eq "global_set_order: exit code 0" 0 "$status"
expect_written global_set_order DriverParameter "Topology=1;LinkSpeed=4;"

fresh_registry
installed
seed DriverParameter "LinkDown=10;"
run_session clear_only_entry
expect_eq "clear_only_entry: exit code 0" 0 "$status"
expect_written clear_only_entry DriverParameter ""

fresh_registry
installed
seed DriverParameter "PreferredALPA=0x1f;LinkDown=007;"
run_session show_stored_values
expect_eq "show_stored_values: exit code 0" 0 "$status"
expect_kept show_stored_values DriverParameter "PreferredALPA=0x1f;LinkDown=007;"

fresh_registry
installed
seed Adapter3 500008a00030014e
seed DriverParameter3 "Topology=1;MckRecovery=4;Qdp=8;"
seed DriverParameter "Topology=2;"
run_session adapter_scope
expect_eq "adapter_scope: exit code 0" 0 "$status"
expect_written adapter_scope DriverParameter3 "Qdp=8;MckRecovery=5;"
expect_kept adapter_scope DriverParameter "Topology=2;"
expect_kept adapter_scope Adapter3 500008a00030014e

fresh_registry
installed
seed DriverParameter3 "Qdp=7;"
seed DriverParameter5 "Qdp=4;"
run_session mapping_flows
expect_eq "mapping_flows: exit code 0" 0 "$status"
expect_written mapping_flows Adapter3 500008a00030014f
expect_kept mapping_flows DriverParameter3 "Qdp=7;"
expect_absent mapping_flows Adapter4
expect_absent mapping_flows Adapter5
expect_absent mapping_flows DriverParameter5

fresh_registry
installed
seed DriverParameter "Topology=5;"
run_session stored_topology_5
expect_eq "stored_topology_5: a stored value the display does not know ends the program with 255" 255 "$status"
expect_kept stored_topology_5 DriverParameter "Topology=5;"

fresh_registry
installed
run_session end_of_input
expect_eq "end_of_input: the end of standard input ends the program with 1" 1 "$status"
expect_written end_of_input DriverParameter "Qdp=16;"

fresh_registry
run_session no_driver_service_key
expect_eq "no_driver_service_key: exit code 0" 0 "$status"
key_exists "$device_key"
expect_eq "no_driver_service_key: no Device key made" 1 $?

fresh_registry
rm -f "$WINEPREFIX"/hbautil.{out,expected,trace}
finish

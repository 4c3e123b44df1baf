# The resources of the Windows programs, read through the calls that use
# them: hbalogd's message table (as an event viewer formats its events), its
# type library, registry script and service name, and KVXService's version.
source "$(dirname "$0")/lib.sh"
resprobe=$KVX_WINE_PROBES/resprobe.exe

# Output with its line ends kept: $( ) would drop the trailing ones.
kept() { "$@"; echo "|$?"; }

expect_eq "message 0xC0000001, English: the insertion string, then CR LF" $'Unable to open eventlog.\r\n|0' \
  "$(kept wine "$resprobe" message "$hbalogd" C0000001 1033 'Unable to open eventlog.')"
expect_eq "message 0xC0000001, Japanese: the same" $'Service started\r\n|0' \
  "$(kept wine "$resprobe" message "$hbalogd" C0000001 1041 'Service started')"
expect_eq "the message table holds no other identifier" "|1" \
  "$(kept wine "$resprobe" message "$hbalogd" C0000002 1033 x)"
expect_eq "string resource 100: the service name" "hbalogd|0" "$(kept wine "$resprobe" string "$hbalogd" 100)"
expect_eq "registry script: resource REGISTRY 100, the script's text" "$(kept cat "$KVX_SOURCE_DIR/logd/host/hbalogd.rgs")" \
  "$(kept wine "$resprobe" resource "$hbalogd" REGISTRY 100)"
expect_eq "type library: its identifier, version 1.0, HBALOGDLib, no interfaces" \
  $'{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28} 1.0 HBALOGDLib 0\n|0' "$(kept wine "$resprobe" typelib "$hbalogd")"
expect_eq "KVXService.dll: file and product version 1, 0, 0, 2" $'1.0.0.2 1.0.0.2 1, 0, 0, 2|1, 0, 0, 2\n|0' \
  "$(kept wine "$resprobe" version "$kvxservice")"
finish

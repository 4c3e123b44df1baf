# hbalogd's configuration warnings under Wine: the key missing, a key without
# values, and values of the wrong types. hbalogd runs as a plain process
# (registered without the service); the watch then fails for want of the list
# files and the process ends by itself. Its ReportEventA calls are read from
# Wine's traces: +eventlog gives each text and its type, +relay the fields.
source "$(dirname "$0")/lib.sh"
unregister_hbalogd
wine "$hbalogd" /RegServer >/dev/null 2>&1
expect_eq "set-up: hbalogd /RegServer" 0 $?

# Runs hbalogd once with the given debug channels; its trace on standard output.
run_traced() { # CHANNELS
  WINEDEBUG="-all,$1" timeout 60 wine "$hbalogd" 2>&1 >"$WINEPREFIX/hbalogd.out"
  echo "status $?"
}

list_error='err Unable to open file "C:\Program Files\velmora\drivers\hba\hbalogd\errorlog_list.txt"'

trace=$(run_traced +eventlog,+relay)
expect_contains "no key: the plain process ends by itself with exit code 0" "status 0" "$trace"
expect_eq "no key: \"Service started\" on standard output" "Service started" \
  "$(tr -d '\r' <"$WINEPREFIX/hbalogd.out")"
expect_eq "no key: one warning naming the key, then the missing list at the default directory" \
  "warn Unable to open registory SOFTWARE\\Velmora\\kvxwdd\\hbalogd. Use default parameter.
$list_error" "$(event_reports <<<"$trace")"
sources=$(grep -c 'Call advapi32.RegisterEventSourceA(00000000,[0-9a-f]* "Hbalogd")' <<<"$trace")
expect_eq "each report registers the source \"Hbalogd\" on the local computer" 2 "$sources"
# ReportEventA(handle, type, category, id, sid, strings, data size, ...): the
# count of strings is a 16-bit argument, so only its low word is compared.
fields=$(sed -n 's/.*Call advapi32\.ReportEventA([0-9a-f]*,\([0-9a-f]*\),\([0-9a-f]*\),\([0-9a-f]*\),\([0-9a-f]*\),[0-9a-f]*\([0-9a-f]\{4\}\),\([0-9a-f]*\),.*/\1 \2 \3 \4 \5 \6/p' <<<"$trace")
expect_eq "ReportEventA: warning then error, category 0, id 0xC0000001, no SID, one string, no data" \
  "00000002 00000000 c0000001 00000000 0001 00000000
00000001 00000000 c0000001 00000000 0001 00000000" "$fields"

wine reg add "$config_key" /f >/dev/null 2>&1
key_exists "$config_key"
expect_eq "set-up: the key made" 0 $?
expected=""
for name in max_retry_count retry_frequency unique_id_position dump_data_size error_log_size max_error_log_count \
  max_record_count; do
  expected+="warn Unable to get registory data $name. Use default parameter."$'\n'
done
for name in error_log_file_path error_log_list_path; do
  expected+="warn Unable to get the data size of registory $name. Use default parameter."$'\n'
done
expected+=$list_error
expect_eq "empty key: nine warnings in the order of the values" "$expected" \
  "$(run_traced +eventlog | event_reports)"

# Wrong types. A REG_SZ of three characters fits the 4-byte buffer (its type
# is wrong); an 8-byte REG_QWORD does not (its data cannot be had).
reg_set "$config_key" max_retry_count REG_DWORD 3
reg_set "$config_key" retry_frequency REG_BINARY 01000000
reg_set "$config_key" unique_id_position REG_DWORD 40
reg_set "$config_key" dump_data_size REG_SZ 12
reg_set "$config_key" error_log_size REG_DWORD 1024
reg_set "$config_key" max_error_log_count REG_DWORD 16
reg_set "$config_key" max_record_count REG_QWORD 4096
reg_set "$config_key" error_log_file_path REG_EXPAND_SZ 'C:\kvx-logs'
reg_set "$config_key" error_log_list_path REG_DWORD 1
# Wine's reg.exe shows no REG_QWORD data; regprobe gives the stored bytes.
expect_eq "the REG_QWORD is in place: type 11, 8 bytes" "11 8 0010000000000000" \
  "$(stored_bytes "$config_key" max_record_count)"
expect_eq "the REG_SZ is in place" "REG_SZ|12" "$(reg_value "$config_key" dump_data_size)"
expected="warn The type of registory retry_frequency is wrong. Use default parameter.
warn The type of registory dump_data_size is wrong. Use default parameter.
warn Unable to get registory data max_record_count. Use default parameter.
warn The type of registory error_log_file_path is wrong. Use default parameter.
warn The type of registory error_log_list_path is wrong. Use default parameter.
$list_error"
expect_eq "wrong types: one warning each, the right ones pass, the default list directory stays" "$expected" \
  "$(run_traced +eventlog | event_reports)"

unregister_hbalogd
rm -f "$WINEPREFIX/hbalogd.out"
finish

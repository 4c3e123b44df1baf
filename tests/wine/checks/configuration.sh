# hbalogd's configuration warnings under Wine: the key missing, a key without
# values, and values of the wrong types. hbalogd runs as a plain process
# (registered without the service); the watch then fails for want of the list
# files and the process ends by itself. Its ReportEventA calls are read from
# Wine's traces: +eventlog gives each text and its type, +relay the fields.
source "$(dirname "$0")/lib.sh"
unregister_hbalogd
wine "$hbalogd" /RegServer >/dev/null 2>&1

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
wine reg add "$config_key" /v max_retry_count /t REG_DWORD /d 3 /f >/dev/null 2>&1
wine reg add "$config_key" /v retry_frequency /t REG_BINARY /d 01000000 /f >/dev/null 2>&1
wine reg add "$config_key" /v unique_id_position /t REG_DWORD /d 40 /f >/dev/null 2>&1
wine reg add "$config_key" /v dump_data_size /t REG_SZ /d 12 /f >/dev/null 2>&1
wine reg add "$config_key" /v error_log_size /t REG_DWORD /d 1024 /f >/dev/null 2>&1
wine reg add "$config_key" /v max_error_log_count /t REG_DWORD /d 16 /f >/dev/null 2>&1
wine reg add "$config_key" /v max_record_count /t REG_QWORD /d 4096 /f >/dev/null 2>&1
wine reg add "$config_key" /v error_log_file_path /t REG_EXPAND_SZ /d 'C:\kvx-logs' /f >/dev/null 2>&1
wine reg add "$config_key" /v error_log_list_path /t REG_DWORD /d 1 /f >/dev/null 2>&1
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

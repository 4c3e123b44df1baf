# net start hbalogd and net stop hbalogd under Wine's service manager: the
# states the service reaches, its exit code, and the Application-log events it
# reports on the way (read from Wine's +eventlog trace of the services, since
# Wine's event log keeps no records). Reading driver records from the System
# log cannot be done here for the same reason; the watcher and the writers are
# proved on the simulated host (tests/capture).
source "$(dirname "$0")/lib.sh"
unregister_hbalogd
wine "$hbalogd" /Service >/dev/null 2>&1
expect_eq "registered as a service, stopped" 1 "$(service_state)"

# Default configuration (no key) and no list files at the default directory:
# the watch fails at start and the service ends by itself.
mark=$(trace_mark)
out=$(winetool net start hbalogd)
expect_eq "net start succeeds" 0 $?
expect_contains "net start reports the start" "The hbalogd service was started successfully." "$out"
expect_eq "the service stops by itself" 1 "$(wait_for_state 1 20)"
expect_eq "... with ERROR_SERVICE_SPECIFIC_ERROR, not a clean end" 1066 "$(service_exit_code)"
# services.exe writes the trace on its own time: the last report is awaited.
stopped_reported() { [[ "$(service_reports_since "$mark")" == *"trace Service stopped" ]]; }
wait_until 10 stopped_reported
expected="trace Service started
warn Unable to open registory SOFTWARE\\Velmora\\kvxwdd\\hbalogd. Use default parameter.
err Unable to open file \"C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\errorlog_list.txt\"
trace Service stopped"
expect_eq "events: started, the configuration warning, the watch's error, stopped" "$expected" \
  "$(service_reports_since "$mark")"

# With the two lists in place the watch runs until the stop request.
lists='C:\kvx-service-check'
mkdir -p "$drive_c/kvx-service-check/log"
cp "$KVX_SOURCE_DIR"/logd/output/lists/errorlog_list.txt "$KVX_SOURCE_DIR"/logd/output/lists/errorlevel_list.txt \
  "$drive_c/kvx-service-check/"
reg_set "$config_key" error_log_list_path REG_SZ "$lists"
reg_set "$config_key" error_log_file_path REG_SZ "$lists\\log"
mark=$(trace_mark)
winetool net start hbalogd >/dev/null
expect_eq "net start with the lists succeeds" 0 $?
expect_eq "the service reaches RUNNING" 4 "$(wait_for_state 4 20)"
sleep 2
expect_eq "... and stays there" 4 "$(service_state)"
out=$(winetool net stop hbalogd)
expect_eq "net stop succeeds" 0 $?
expect_contains "net stop reports the stop" "The hbalogd service was stopped successfully." "$out"
expect_eq "the service is STOPPED" 1 "$(wait_for_state 1 20)"
expect_eq "... with exit code 0" 0 "$(service_exit_code)"
wait_until 10 stopped_reported
reports=$(service_reports_since "$mark")
expect_eq "first event: Service started" "trace Service started" "$(head -n 1 <<<"$reports")"
expect_eq "last event: Service stopped" "trace Service stopped" "$(tail -n 1 <<<"$reports")"
expect_lacks "no error from the watch" $'\n''err ' "$reports"
expect_lacks "the configured log directory is taken without warning" "error_log_file_path" "$reports"
expect_lacks "the configured list directory is taken without warning" "error_log_list_path" "$reports"

unregister_hbalogd
rm -rf "$drive_c/kvx-service-check"
finish

# A system shutdown under Wine: what hbalogd registers for it, and what Wine's
# service manager does at `wineboot --shutdown` (tests/wine/README.md). Wine
# sends a service neither the preshutdown nor the shutdown control, and its
# ControlService refuses both, as Windows does: the drain they start is
# proved on the simulated host (`simhost shutdown`, tests/service).
source "$(dirname "$0")/lib.sh"
unregister_hbalogd
wine "$hbalogd" /Service >/dev/null 2>&1
expect_eq "registered as a service, stopped" 1 "$(service_state)"
# ChangeServiceConfig2A(SERVICE_CONFIG_PRESHUTDOWN_INFO) as the service
# manager keeps it: 30 s, the capture's drain and a margin.
expect_eq "the preshutdown timeout is registered" "REG_DWORD|0x7530" "$(reg_value "$service_key" PreshutdownTimeout)"

lists='C:\kvx-shutdown-check'
mkdir -p "$drive_c/kvx-shutdown-check/log"
cp "$KVX_SOURCE_DIR"/logd/output/lists/errorlog_list.txt "$KVX_SOURCE_DIR"/logd/output/lists/errorlevel_list.txt \
  "$drive_c/kvx-shutdown-check/"
wine reg add "$config_key" /v error_log_list_path /t REG_SZ /d "$lists" /f >/dev/null 2>&1
wine reg add "$config_key" /v error_log_file_path /t REG_SZ /d "$lists\\log" /f >/dev/null 2>&1
winetool net start hbalogd >/dev/null
expect_eq "the service reaches RUNNING" 4 "$(wait_for_state 4 20)"

# Wine's shutdown of the session leaves the services to their process's end:
# no control reaches hbalogd, which goes on running undisturbed.
mark=$(trace_mark)
wineboot --shutdown >/dev/null 2>&1
expect_eq "wineboot --shutdown succeeds" 0 $?
sleep 2
expect_eq "the service still runs" 4 "$(service_state)"
expect_eq "... and has reported nothing" "" "$(service_reports_since "$mark")"

# And a stop afterwards still ends it as ever.
out=$(winetool net stop hbalogd)
expect_eq "net stop succeeds" 0 $?
expect_contains "net stop reports the stop" "The hbalogd service was stopped successfully." "$out"
expect_eq "the service is STOPPED" 1 "$(wait_for_state 1 20)"
expect_eq "... with exit code 0" 0 "$(service_exit_code)"
sleep 0.5
expect_eq "last event: Service stopped" "trace Service stopped" "$(service_reports_since "$mark" | tail -n 1)"

unregister_hbalogd
rm -rf "$drive_c/kvx-shutdown-check"
finish

# Sourced by checks/lib.sh and scripts/wine-test: `wine`, started again when
# Wine could not start the program at all.
#
# Wine's process start fails now and then on a busy host (tests/wine/README.md):
# the program never runs, and Wine's launcher prints, on standard output,
# "ShellExecuteEx failed: Internal error." and ends with exit status 1. Such a
# run is made again, up to three times in all; any other run, whatever its
# result, is the program's own and is passed on as it is. Standard output is
# held until the program ends, so a program whose output is read while it
# runs (a follower, a holder in the background) is run with `command wine`.
# Each new start is noted in $WINEPREFIX/wine-restarts.txt, not on standard
# error, which the checks compare.
wine() {
  local out rc attempt
  out=$(mktemp) || return 1
  for attempt in 1 2 3; do
    # (Written so that a caller's `set -e` does not end it at a failed start.)
    command wine "$@" >"$out" && rc=0 || rc=$?
    if [ $rc -ne 1 ] || [ "$(stat -c %s "$out")" -gt 512 ] ||
      ! grep -aq '^ShellExecuteEx failed: Internal error' "$out"; then
      break
    fi
    [ "$attempt" -lt 3 ] && echo "Wine could not start $1 (attempt $attempt): started again" >>"$WINEPREFIX/wine-restarts.txt"
  done
  cat "$out"
  rm -f "$out"
  return $rc
}

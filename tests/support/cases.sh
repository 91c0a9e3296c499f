# Sourced first by the mount test scripts (ROOT and STACK_NAME set): a skip
# without FUSE, the Wine session and the mount stack, one case at a time, and
# the checks they share. session_end holds the session's own exit trap, for
# the caller's trap; the caller sets TMP (a scratch folder).
skip() { echo "$STACK_NAME: skipped: $*"; exit 77; }
[ -c /dev/fuse ] || skip "this machine has no /dev/fuse, so nothing can be mounted"
command -v fusermount3 >/dev/null || skip "fusermount3 is missing (scripts/setup installs fuse3)"
. "$ROOT/scripts/wine-session"
. "$ROOT/scripts/mount-stack"
session_end=$(trap -p EXIT | sed "s/^trap -- '\(.*\)' EXIT\$/\1/")
vaultctl() { "$RUN" "$BIN/vaultctl.exe" --dismiss "$@"; }
passed=0 failed=0
# run NAME FUNCTION: one case, in this shell (it may mount and unmount);
# its output is shown only when it fails.
run() {
  local start=$SECONDS
  if "$2" >"$TMP/case.out" 2>&1; then
    passed=$((passed + 1)); echo "ok: $1 ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1)); echo "FAILED: $1"; tail -n 25 "$TMP/case.out" | sed 's/^/    /'
  fi
}
# refused TEXT COMMAND...: the command fails and says TEXT.
refused() {
  local text=$1 out; shift
  if out=$("$@" 2>&1); then echo "not refused: $*"; return 1; fi
  grep -q "$text" <<<"$out" || { echo "refused without \"$text\": $* -> $out"; return 1; }
}
# wait_all PID...: every one ended with 0 (a bare wait would wait for the stack too).
wait_all() { local pid status=0; for pid; do wait "$pid" || status=1; done; return $status; }
# run_cases [CASE...]: the cases named (t_..., for a person at work on one),
# or all of them (the caller's function `cases`).
run_cases() { if [ $# -gt 0 ]; then for c; do run "$c" "$c"; done; else cases; fi; }
# finish: the logs when a case failed, the count, and the exit code.
finish() {
  [ $failed -eq 0 ] || { echo "--- serve log"; tail -n 20 "$SERVE_LOG"; echo "--- vaultfs log"; tail -n 20 "$VAULTFS_LOG"; }
  echo "$passed passed, $failed failed"
  [ $failed -eq 0 ]
}

# Waiting for things to happen, for the test scripts (sourced): plain sh, so that the kernel
# test's cases can use it under busybox inside the VM too (scripts/kernel-test.sh puts it there).

# wait_for SECONDS COMMAND...: polls every 50 ms; false when the time ran out.
wait_for() {
  local tries=$(($1 * 20))
  shift
  while ! "$@"; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || return 1
    sleep 0.05
  done
}

# running PID: the process has not ended (a child that ended but was not waited for has).
running() { [ -e "/proc/$1" ] && ! grep -qs '^State:[[:space:]]*Z' "/proc/$1/status"; }
ended() { ! running "$1"; }

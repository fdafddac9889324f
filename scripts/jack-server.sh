#!/usr/bin/env bash
# Starts or stops a private JACK server (dummy driver, no sound hardware) for the tests:
#   scripts/jack-server.sh start|stop
# The server is named by JACK_DEFAULT_SERVER (default fen-test-<uid>), so that it never meets
# a user's own server. Without jackd, "start" says so and succeeds: the JACK tests then skip.
set -euo pipefail

NAME=${JACK_DEFAULT_SERVER:-fen-test-$(id -u)}
export JACK_DEFAULT_SERVER=$NAME
STATE_DIR=${TMPDIR:-/tmp}
PID_FILE=$STATE_DIR/fen-jack-$NAME.pid
LOG_FILE=$STATE_DIR/fen-jack-$NAME.log

# Only this server's files: the registry and numbered segments are shared with other servers.
remove_leftovers() {
  rm -rf /dev/shm/jack_"$NAME"_* /dev/shm/jack_sem.*_"$NAME"_* 2>/dev/null || true
}

server_answers() {
  if command -v jack_lsp >/dev/null 2>&1; then
    jack_lsp </dev/null >/dev/null 2>&1
  else
    ls /dev/shm/jack_"$NAME"_* >/dev/null 2>&1
  fi
}

stop() {
  if [ -f "$PID_FILE" ]; then
    local pid
    pid=$(cat "$PID_FILE")
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$PID_FILE"
  fi
  remove_leftovers
}

start() {
  if ! command -v jackd >/dev/null 2>&1; then
    echo "jackd not found: the JACK tests will be skipped"
    exit 0
  fi
  stop
  # Output goes to a file: a server that holds the test runner's pipe would keep it waiting.
  # Real-time where allowed: without it a loaded machine misses cycles and JACK loses messages.
  # Synchronous (-S): a client late on a loaded machine delays the cycle instead of losing the
  # MIDI it had to pass on; -t 200 bounds that delay (a killed client costs at most that per
  # cycle until the server drops it) and gives activations 2 s instead of 20 periods.
  setsid jackd -n "$NAME" -S -t 200 -d dummy -r 48000 -p 64 -C 0 -P 0 \
    </dev/null >"$LOG_FILE" 2>&1 &
  echo $! >"$PID_FILE"
  for _ in $(seq 100); do
    if server_answers; then
      echo "JACK server $NAME running"
      return 0
    fi
    if ! kill -0 "$(cat "$PID_FILE")" 2>/dev/null; then break; fi
    sleep 0.1
  done
  echo "JACK server $NAME did not start; its log:" >&2
  cat "$LOG_FILE" >&2 || true
  stop
  exit 1
}

case "${1:-}" in
  start) start ;;
  stop) stop; echo "JACK server $NAME stopped" ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac

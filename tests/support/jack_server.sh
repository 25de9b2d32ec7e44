#!/usr/bin/env bash
# Starts or stops the JACK server with the dummy driver that integration tests use
# (no sound card needed). Usage: jack_server.sh start|stop BUILD_DIR SERVER_NAME
set -u
action="$1"
state="$2/jack-server"
server="${3:-strombel-tests}"
mkdir -p "$state"
case "$action" in
  start)
    if [ -f "$state/pid" ] && kill -0 "$(cat "$state/pid")" 2>/dev/null; then exit 0; fi
    # libjack keeps its port metadata in a database environment shared by every
    # JACK client of the user; a client killed while it had it open keeps its
    # locks there for good, and once they fill the environment every new client
    # hangs in jack_client_open ("unable to allocate memory for mutex"). With no
    # server running, no client uses it: start it afresh.
    if ! pgrep -x jackd >/dev/null; then rm -rf "/dev/shm/jack_db-$(id -u)"; fi
    # Synchronous mode: each cycle waits for every client, so on a loaded machine
    # a late client delays the cycle instead of losing the MIDI events in it.
    # 48 kHz, the rate JACK servers usually run at: the program must follow it.
    for attempt in 1 2; do
      jackd --no-realtime --sync -n "$server" -d dummy -r 48000 -p 256 > "$state/log" 2>&1 &
      echo $! > "$state/pid"
      for _ in $(seq 1 200); do
        # libjack can hang a client that ends right after it came in: the
        # question has five seconds.
        if JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1 timeout -s KILL 5 jack_lsp >/dev/null 2>&1; then exit 0; fi
        kill -0 "$(cat "$state/pid")" 2>/dev/null || break
        sleep 0.1
      done
      # A server killed without cleaning up leaves its registry entry behind, and
      # JACK refuses new servers once the registry looks full. With no server
      # running at all, those entries are stale: clear them and try once more.
      if [ "$attempt" = 1 ] && grep -q "Too many servers" "$state/log" && ! pgrep -x jackd >/dev/null; then
        rm -rf /dev/shm/jack-shm-registry /dev/shm/jack-[0-9]* /dev/shm/jack_sem.* /dev/shm/jack_db-*
        continue
      fi
      break
    done
    echo "JACK server did not start:"; cat "$state/log"; exit 1
    ;;
  stop)
    if [ -f "$state/pid" ]; then
      pid="$(cat "$state/pid")"
      kill "$pid" 2>/dev/null
      # Wait for it to go, so that a server started right after never finds the
      # name still taken.
      for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
      rm -f "$state/pid"
    fi
    exit 0
    ;;
esac
echo "usage: jack_server.sh start|stop BUILD_DIR SERVER_NAME"; exit 2

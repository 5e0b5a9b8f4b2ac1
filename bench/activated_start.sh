#!/usr/bin/env bash
# Figures of a socket-activated broker, with the stand-in Steam runtime:
#   - one activated start: from the first connection to the ticket, as
#     vandrel-ticket sees it (the broker and its Steam child both start in
#     that time), against the same request to a broker already running;
#   - the broker's memory between games: its resident set after a session has
#     ended, without --exit-idle, and with --exit-idle 1 (then no process).
#
#   bench/activated_start.sh build/ci [RUNS]
# Needs systemd-socket-activate (Debian's systemd package).
set -euo pipefail

build=${1:?usage: bench/activated_start.sh BUILD_DIR [RUNS]}
runs=${2:-5}
broker="$build/bin/vandrel"
ticket="$build/bin/vandrel-ticket"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export TMPDIR="$work"

now_us() { echo $(($(date +%s%N) / 1000)); }
ask() { "$ticket" --broker "unix:$1" --gamedir cstrike --server 1.2.3.4:27015 >/dev/null; }
wait_for_socket() { for _ in $(seq 500); do [[ -S $1 ]] && return; sleep 0.01; done; exit 1; }
# The VmRSS line of a process, in kB.
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

echo "activated start (first connection to ticket) | broker already running (same request;"
echo "  each request starts its Steam child afresh, in both columns)"
for i in $(seq "$runs"); do
  sock="$work/a$i.sock"
  systemd-socket-activate -l "$sock" -E TMPDIR "$broker" 2>"$work/a$i.log" &
  activate=$!
  wait_for_socket "$sock"
  t0=$(now_us); ask "$sock"; t1=$(now_us)
  ask "$sock"; t2=$(now_us)
  echo "  run $i: $(((t1 - t0) / 1000)).$(((t1 - t0) % 1000 / 100)) ms | $(((t2 - t1) / 1000)).$(((t2 - t1) % 1000 / 100)) ms"
  kill "$activate"; wait "$activate" 2>/dev/null || true
done

echo "broker between games (a session over, its Steam child reaped)"
for idle in "" "--exit-idle 1"; do
  sock="$work/m.sock"; rm -f "$sock"
  # shellcheck disable=SC2086 # $idle is two words or none
  systemd-socket-activate -l "$sock" -E TMPDIR "$broker" $idle 2>"$work/m.log" &
  activate=$!
  wait_for_socket "$sock"
  ask "$sock"
  sleep 2
  if kill -0 "$activate" 2>/dev/null; then
    echo "  ${idle:-without --exit-idle}: broker running, VmRSS $(rss_kb "$activate") kB"
    kill "$activate"
  else
    echo "  ${idle:-without --exit-idle}: no broker process (0 kB); the service manager holds the socket"
  fi
  wait "$activate" 2>/dev/null || true
done

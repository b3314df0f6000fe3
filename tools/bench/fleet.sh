#!/usr/bin/env bash
# A rack of instruments in one call: plays COUNT unpaced instruments (--once) in one simulator
# process, on pseudo-terminals, or with --network each behind a serial device server of its own
# (RFC 2217 on consecutive loopback ports from FLEET_PORT, 20000 unless set). Updates them all
# with one flashupdate-cli call at an open-file limit of LIMIT (SOFT:HARD, or one number for
# both) and prints the wall time, the CPU time per port, the peak memory and how many were
# updated, for the tool and for the simulators.
#   tools/bench/fleet.sh [--network] BUILD_DIR COUNT [LIMIT] [RECORDS]
# A simulator holds two descriptors an instrument (a pseudo-terminal's two ends; a server's
# listening socket and its client), so a fleet larger than a process's open files allow is
# split over several simulators of at most FLEET_PER_SIMULATOR (5000) each.
# FLEET_KEEP=DIR keeps the call's JSON and standard error and the simulators' output there.
# A benchmark, not a test: nothing here decides a pass.
set -euo pipefail
network=false
if [ "${1:-}" = --network ]; then
  network=true
  shift
fi
build=$1
count=$2
limit=${3:-1024}
records=${4:-1}
soft=${limit%%:*}
hard=${limit##*:}
per_simulator=${FLEET_PER_SIMULATOR:-5000}
first_port=${FLEET_PORT:-20000}

work=$(mktemp -d /tmp/flashupdate-fleet.XXXXXX)
# The simulators and the tool run under /usr/bin/time, which passes no signal on: each is a process
# group of its own, and the group is what is stopped, however this script ends.
simulators=()
cli=""
stop_simulators() {
  local group
  for group in "${simulators[@]}"; do
    kill -- "-$group" 2>/dev/null || true
  done
}
finish() {
  stop_simulators
  [ -z "$cli" ] || kill -- "-$cli" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ -n "${FLEET_KEEP:-}" ]; then
    mkdir -p "$FLEET_KEEP"
    cp "$work"/*.json "$work"/*.txt "$work"/sim-* "$FLEET_KEEP"/ 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

head -c 511 /dev/urandom > "$work/BOOTLOAD.IMG"
head -c $((records * 16384)) /dev/urandom > "$work/FLEET.IMG"

# Each simulator's lines begin with its instruments' names, one a line; the tool gets them all.
ports=()
started=0
part=0
while ((started < count)); do
  n=$((count - started < per_simulator ? count - started : per_simulator))
  part=$((part + 1))
  where=()
  $network && where=(--rfc2217 "127.0.0.1:$((first_port + started))")
  set -m
  /usr/bin/time -f '%e %U %S %M' -o "$work/sim-$part.time" \
    "$build/instrument-sim" --once --instruments "$n" "${where[@]}" > "$work/sim-$part.log" \
    2> "$work/sim-$part.err" < /dev/null &
  simulators+=($!)
  set +m
  for _ in $(seq 600); do
    (($(wc -l < "$work/sim-$part.log") >= n)) && break
    kill -0 "${simulators[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  if (($(wc -l < "$work/sim-$part.log") < n)); then
    echo "fleet: simulator $part named fewer than $n instruments:" >&2
    tail -n 3 "$work/sim-$part.err" >&2
    exit 1
  fi
  while IFS= read -r name; do
    ports+=(-p "$name")
  done < <(head -n "$n" "$work/sim-$part.log")
  started=$((started + n))
done

# getrusage of the children gives the CLI's CPU time and its peak resident memory. The soft
# limit goes down first, as the hard one may not fall below it.
# Waited for in the background, so that a signal to this script is taken at once.
set -m
XDG_STATE_HOME="$work/state" /usr/bin/time -f '%e %U %S %M' -o "$work/time" \
  bash -c 'ulimit -Sn "$2" 2>/dev/null; ulimit -Hn "$1" && ulimit -Sn "$2" && shift 2 &&
    exec "$@"' _ "$hard" "$soft" \
  "$build/flashupdate-cli" --json -b "$work/BOOTLOAD.IMG" "${ports[@]}" "$work/FLEET.IMG" \
  > "$work/out.json" 2> "$work/err.txt" < /dev/null &
cli=$!
set +m
wait "$cli" || true
cli=""
if ! read -r wall user system peak < <(grep -E '^[0-9.]+ [0-9.]+ [0-9.]+ [0-9]+$' "$work/time"); then
  echo "fleet: flashupdate-cli did not run:" >&2
  cat "$work/time" "$work/err.txt" >&2
  exit 1
fi
updated=$(grep -c '"event":"result".*"outcome":"updated"' "$work/out.json" || true)
waited=$(grep '"event":"summary"' "$work/out.json" | sed -E 's/.*"waited":([0-9]+).*/\1/')
kind=local
$network && kind=network
printf '%5d %s ports at ulimit -n %s: %d updated, %s waited; %.1f s wall, %.3f s CPU a port, %d MB peak\n' \
  "$count" "$kind" "$limit" "$updated" "${waited:-?}" "$wall" \
  "$(echo "($user + $system) / $count" | bc -l)" $((peak / 1024))

# Each simulator ends once every instrument of its own has had its session; one that failed
# keeps it waiting, so they are given a little while and then stopped.
for _ in $(seq 100); do
  kill -0 "${simulators[@]}" 2>/dev/null || break
  sleep 0.1
done
stop_simulators
wait 2>/dev/null || true
simulators=()
sim_cpu=0
sim_peak=0
for file in "$work"/sim-*.time; do
  # A simulator stopped above (an instrument never had its session) leaves no figures.
  if ! read -r _ sim_user sim_system sim_kb < <(grep -E '^[0-9.]+ [0-9.]+ [0-9.]+ [0-9]+$' "$file"); then
    echo "      a simulator was stopped before its instruments were done: no figures for it" >&2
    continue
  fi
  sim_cpu=$(echo "$sim_cpu + $sim_user + $sim_system" | bc -l)
  ((sim_kb > sim_peak)) && sim_peak=$sim_kb
done
printf '      %d simulator process(es): %.3f s CPU an instrument, %d MB peak (%.1f KB an instrument)\n' \
  "$part" "$(echo "$sim_cpu / $count" | bc -l)" $((sim_peak / 1024)) \
  "$(echo "$sim_peak / (($count + $part - 1) / $part)" | bc -l)"
if ((updated != count)); then
  grep -v '"outcome":"updated"' "$work/out.json" | grep '"event":"result"' | head -n 3 >&2 || true
  tail -n 5 "$work/err.txt" >&2
fi

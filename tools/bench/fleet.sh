#!/usr/bin/env bash
# A rack of instruments in one call: starts COUNT unpaced instrument simulators (--once), updates
# them all with one flashupdate-cli call at an open-file limit of LIMIT (soft and hard), and
# prints the wall time, the CPU time per port, the peak memory and how many were updated.
#   tools/bench/fleet.sh BUILD_DIR COUNT [LIMIT] [RECORDS]
# A benchmark, not a test: nothing here decides a pass.
set -euo pipefail
build=$1
count=$2
limit=${3:-1024}
records=${4:-1}

work=$(mktemp -d /tmp/flashupdate-fleet.XXXXXX)
simulators=()
finish() {
  ((${#simulators[@]})) && kill "${simulators[@]}" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

head -c 511 /dev/urandom > "$work/BOOTLOAD.IMG"
head -c $((records * 16384)) /dev/urandom > "$work/FLEET.IMG"
for i in $(seq "$count"); do
  "$build/instrument-sim" --once > "$work/sim-$i.log" 2>&1 &
  simulators+=($!)
done
ports=()
for i in $(seq "$count"); do
  for _ in $(seq 100); do [ -s "$work/sim-$i.log" ] && break; sleep 0.05; done
  ports+=(-p "$(head -n 1 "$work/sim-$i.log")")
done

# getrusage of the children gives the CLI's CPU time and its peak resident memory.
XDG_STATE_HOME="$work/state" /usr/bin/time -f '%e %U %S %M' -o "$work/time" \
  bash -c 'ulimit -n "$1" && shift && exec "$@"' _ "$limit" \
  "$build/flashupdate-cli" --json -b "$work/BOOTLOAD.IMG" "${ports[@]}" "$work/FLEET.IMG" \
  > "$work/out.json" 2> "$work/err.txt" || true
read -r wall user system peak < <(tail -n 1 "$work/time")
updated=$(grep -c '"event":"result".*"outcome":"updated"' "$work/out.json" || true)
waited=$(grep '"event":"summary"' "$work/out.json" | sed -E 's/.*"waited":([0-9]+).*/\1/')
printf '%5d ports at ulimit -n %-5d %4d updated, %s waited; %6.1f s wall, %.3f s CPU a port, %d MB peak\n' \
  "$count" "$limit" "$updated" "${waited:-?}" "$wall" "$(echo "($user + $system) / $count" | bc -l)" \
  $((peak / 1024))
if ((updated != count)); then
  grep -v '"outcome":"updated"' "$work/out.json" | grep '"event":"result"' | head -n 3 >&2 || true
  tail -n 5 "$work/err.txt" >&2
fi

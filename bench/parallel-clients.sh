#!/usr/bin/env bash
# Several modules at once: N simulated modules, each on a line of its own
# paced at 115200 bit/s, and one client a line, started side by side as the
# README shows (xargs -P), each a `put --verify` of KiB. Prints each line's
# payload rate as a share of its ceiling, 11,520 bytes/s, with the verify
# pass counted (twice the file crosses the line), and every exit code.
# Usage: bench/parallel-clients.sh BUILD [N (8)] [KiB (128)]
set -euo pipefail
build=$(realpath "${1:?usage: bench/parallel-clients.sh BUILD [N] [KiB]}")
n=${2:-8}
kib=${3:-128}
work=$(mktemp -d "${TMPDIR:-/tmp}/tovrel-parallel.XXXXXX")
sims=()
cleanup() {
  [ ${#sims[@]} -gt 0 ] && kill "${sims[@]}" 2>/dev/null && wait "${sims[@]}" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

for i in $(seq "$n"); do
  mkdir "$work/disk$i"
  "$build/sim/tovrel-sim" --pace --rate 115200 --disk "$work/disk$i" --link "$work/line$i" >/dev/null &
  sims+=($!)
done
for i in $(seq "$n"); do
  for _ in $(seq 100); do [ -e "$work/line$i" ] && break; sleep 0.05; done
  [ -e "$work/line$i" ] || { echo "simulator $i did not start" >&2; exit 1; }
done
head -c $((kib * 1024)) /dev/urandom >"$work/in.bin"

# One client a line, each with its own port, lock and exit code.
export build work
seq "$n" | xargs -P "$n" -I{} bash -c '
  start=$(date +%s.%N)
  "$build/cli/tovrel-cli" --port "$work/line{}" --baud 115200 put --verify "$work/in.bin" IN.BIN >/dev/null 2>"$work/err{}"
  code=$?
  echo "{} $code $start $(date +%s.%N)" >"$work/time{}"' || true

total=0
for i in $(seq "$n"); do
  read -r line code start end <"$work/time$i"
  share=$(awk -v b=$((kib * 1024 * 2)) -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", 100 * b / (e - s) / 11520 }')
  echo "line $line: exit $code, $share % of the line"
  [ "$code" -eq 0 ] || cat "$work/err$i" >&2
  total=$(awk -v t="$total" -v s="$share" 'BEGIN { print t + s }')
done
awk -v t="$total" -v n="$n" 'BEGIN { printf "mean: %.1f %% of each line\n", t / n }'

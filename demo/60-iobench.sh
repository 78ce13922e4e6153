#!/usr/bin/env bash
# The serial I/O benchmark: a small dataset written and read back with
# and without a compression pipeline, every phase timed.
set -euo pipefail

for filters in "" "--filter 2 --filter 1:6"; do
  echo "--- q7iobench --size 4M --chunk 256K $filters"
  # shellcheck disable=SC2086
  out="$(q7iobench --file demo.q7 --size 4M --chunk 256K --iterations 2 $filters)"
  echo "$out"
  grep -q "all 2097152 elements read back intact" <<<"$out" || {
    echo "FAIL: the benchmark did not read its data back intact" >&2
    exit 1
  }
  rows="$(grep -cE '^ +[0-9]+  ' <<<"$out")"
  [ "$rows" -eq 14 ] || { echo "FAIL: expected 14 timed phases, got $rows" >&2; exit 1; }
done
[ ! -e demo.q7 ] || { echo "FAIL: the benchmark left its file behind" >&2; exit 1; }
echo "q7iobench: both runs verified their data"

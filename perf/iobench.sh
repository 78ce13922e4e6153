#!/usr/bin/env bash
# I/O benchmark of the storage library against plain file I/O of the same
# number of bytes in the same run: the ratio of the two rates is the figure
# that matters, not the absolute MiB/s of this machine.
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
bench="$build/bin/q7iobench"
[ -x "$bench" ] || { echo "q7iobench not built" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
size_mib=64

# Baseline: write and read the same bytes with dd, the write left in the
# page cache.  The library's write phase includes its commit, which by
# default waits until the disk holds the data, so its ratio also shows
# what durability costs.
start=$(date +%s.%N)
dd if=/dev/zero of="$work/plain" bs=1M count=$size_mib status=none
mid=$(date +%s.%N)
dd if="$work/plain" of=/dev/null bs=1M status=none
end=$(date +%s.%N)
base_w=$(awk -v a="$start" -v b="$mid" -v m=$size_mib 'BEGIN{printf "%.1f", m/(b-a)}')
base_r=$(awk -v a="$mid" -v b="$end" -v m=$size_mib 'BEGIN{printf "%.1f", m/(b-a)}')
echo "baseline (dd, ${size_mib} MiB): write ${base_w} MiB/s, read ${base_r} MiB/s"

run() {
  local label="$1"; shift
  local out
  out="$("$bench" --file "$work/bench.q7" --size ${size_mib}M "$@")"
  echo "$out"
  grep -q "read back intact" <<<"$out" || { echo "FAIL: $label did not read back intact" >&2; exit 1; }
  local w r
  w=$(awk '$1==2 {print $NF}' <<<"$out")
  r=$(awk '$1==3 {print $NF}' <<<"$out")
  awk -v l="$label" -v w="$w" -v r="$r" -v bw="$base_w" -v br="$base_r" \
    'BEGIN{printf "%-28s write %8.1f MiB/s (%.2f of dd)   read %8.1f MiB/s (%.2f of dd)\n", l, w, w/bw, r, r/br}'
}

run "1 MiB chunks, no filter" --chunk 1M
run "64 KiB chunks, no filter" --chunk 64K
run "1 MiB chunks, shuffle+deflate" --chunk 1M --filter 2 --filter 1:6

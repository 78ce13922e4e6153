#!/usr/bin/env bash
# Load run: one writer and eight concurrent readers of the same file for a
# set time (60 s unless LOAD_SECONDS says otherwise).  Fails if any reader
# reports a verification failure, any program crashes or ends with an error,
# or the readers never see the file grow.  Prints records written and read
# per second.
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
seconds="${LOAD_SECONDS:-60}"
readers="${LOAD_READERS:-8}"
writer="$build/bin/q7conc_writer"
reader="$build/bin/q7conc_reader"
for p in "$writer" "$reader"; do
  [ -x "$p" ] || { echo "$(basename "$p") not built" >&2; exit 1; }
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
file="$work/load.q7"

"$writer" "$file" --seconds "$seconds" --seed 7 >"$work/writer.out" 2>"$work/writer.err" &
wpid=$!
rpids=()
for i in $(seq 1 "$readers"); do
  # Readers start while the writer is still creating its datasets; they
  # wait for it, then read for the same time the writer writes.
  "$reader" "$file" --seconds "$seconds" --wait 120 --seed "$((100 + i))" --expect-progress \
    >"$work/reader$i.out" 2>"$work/reader$i.err" &
  rpids+=($!)
done

fail=0
wait "$wpid" || { echo "FAIL: writer ended with status $?" >&2; cat "$work/writer.err" >&2; fail=1; }
for i in $(seq 1 "$readers"); do
  st=0
  wait "${rpids[$((i - 1))]}" || st=$?
  if [ "$st" -ne 0 ]; then
    echo "FAIL: reader $i ended with status $st" >&2
    cat "$work/reader$i.err" >&2
    fail=1
  fi
done

cat "$work/writer.out"
wrote=$(sed -n 's/^q7conc_writer: wrote \([0-9]*\) records.* in \([0-9.]*\) s.*/\1 \2/p' "$work/writer.out")
[ -n "$wrote" ] || { echo "FAIL: writer printed no summary" >&2; exit 1; }
total_checked=0
total_failures=0
for i in $(seq 1 "$readers"); do
  line=$(grep '^q7conc_reader:.*records checked' "$work/reader$i.out" || true)
  [ -n "$line" ] || { echo "FAIL: reader $i printed no summary" >&2; fail=1; continue; }
  echo "reader $i: ${line#q7conc_reader: }"
  checked=$(sed -n 's/.* \([0-9]*\) records checked.*/\1/p' <<<"$line")
  failures=$(sed -n 's/.* \([0-9]*\) verification failures.*/\1/p' <<<"$line")
  total_checked=$((total_checked + checked))
  total_failures=$((total_failures + failures))
done
awk -v w="$wrote" -v c="$total_checked" -v s="$seconds" -v n="$readers" -v f="$total_failures" 'BEGIN {
  split(w, a, " ");
  printf "load: %d s, 1 writer + %d readers: %.0f records written/s, %.0f records read and checked/s (all readers), %d verification failures\n",
         s, n, a[1] / a[2], c / s, f }'
[ "$total_failures" -eq 0 ] || { echo "FAIL: verification failures" >&2; exit 1; }
exit "$fail"

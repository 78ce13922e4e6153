#!/usr/bin/env bash
# The Python package quor7: lists the file that the first step wrote from
# C, reads a slice of its dataset back through the offset plug-in, and
# writes an array through the plug-in from Python, checked with q7ls.
set -euo pipefail

fail() { echo "demo step failed: $*" >&2; exit 1; }

build="$1"
root="$(cd "$(dirname "$0")/.." && pwd)"
examples="$root/python/examples"
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
py=/usr/bin/python3
[ -f "$build/python/quor7/__init__.py" ] || fail "the Python package is not built in $build/python"
made="../10-offset-chunk/offset.q7"
[ -f "$made" ] || fail "the first step left no $made"

echo "\$ python3 list_file.py offset.q7"
out=$("$py" "$examples/list_file.py" "$made") || { echo "$out"; fail "listing failed"; }
echo "$out"
grep -qE '^/values +dataset \(10,\) <i4, chunks \(4,\), filters 257 \[5\]$' <<<"$out" || fail "dataset not listed"

echo
echo "\$ python3 read_slice.py offset.q7 values '2:10:3'"
out=$("$py" "$examples/read_slice.py" "$made" values "2:10:3") || { echo "$out"; fail "reading failed"; }
echo "$out"
grep -qx '\[-426 -315 -204\]' <<<"$out" || fail "slice values wrong"

echo
echo "\$ python3 write_filtered.py python.q7"
out=$("$py" "$examples/write_filtered.py" python.q7) || { echo "$out"; fail "writing failed"; }
echo "$out"
grep -q "read back equal to what was written: yes" <<<"$out" || fail "data not equal"
grep -q "each stored value is the value plus 5: yes" <<<"$out" || fail "stored chunk is not value plus 5"

echo
echo "\$ q7ls -d python.q7"
out=$(q7ls -d python.q7) || fail "q7ls failed"
echo "$out"
grep -qE '^ +Filters: +257 .*\{5\}$' <<<"$out" || fail "q7ls does not list filter 257"
grep -qE '^ +Data: +0, 1, 2, 3, ' <<<"$out" || fail "q7ls does not read the values"

#!/usr/bin/env bash
# The road of one stored chunk: one process writes a chunked int dataset
# through filter 257 (the offset plug-in, client data {5}); a second
# process reads it back equal, and reads stored chunks directly to show
# each value plus 5 as it lies in the file.
set -euo pipefail

fail() { echo "demo step failed: $*" >&2; exit 1; }

echo "\$ q7demo_write offset.q7 --elements 10 --chunk 4 --level 5"
q7demo_write offset.q7 --elements 10 --chunk 4 --level 5 || fail "writer failed"

for k in 0 8; do
  echo
  echo "\$ q7demo_read offset.q7 --chunk-offset $k"
  out=$(q7demo_read offset.q7 --chunk-offset "$k") || { echo "$out"; fail "reader failed for chunk $k"; }
  echo "$out"
  grep -q "equal to what was written" <<<"$out" || fail "data not equal"
  grep -q "each value plus 5: yes" <<<"$out" || fail "stored chunk $k is not value plus 5"
done

# Without the plug-in on the search path the data cannot be read.
echo
echo "\$ QUOR7_PLUGIN_PATH=/nonexistent q7demo_read offset.q7"
set +e; QUOR7_PLUGIN_PATH=/nonexistent q7demo_read offset.q7 >/dev/null 2>err.txt; rc=$?; set -e
head -n 3 err.txt
echo "(exit status $rc)"
[ "$rc" -ne 0 ] || fail "read without the plug-in succeeded"
grep -q "257" err.txt || fail "the error does not name filter 257"

#!/usr/bin/env bash
# Whole chunks written and read past the filter pipeline: chunkwrap_test
# builds a chunked dataset, writes both chunks directly, reads them back
# both ways and compares.  The step fails unless both tests pass.
set -euo pipefail
out="$(chunkwrap_test)"
printf '%s\n' "$out"
grep -qx 'All direct chunk read/write wrapper tests passed.' <<<"$out"
test "$(grep -c ' PASSED$' <<<"$out")" -eq 2
test -s q7do_compat.q7
echo "chunkwrap_test left q7do_compat.q7 ($(stat -c %s q7do_compat.q7) bytes)"
